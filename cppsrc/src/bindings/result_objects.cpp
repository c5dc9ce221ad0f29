#include "bindings/result_objects.h"

#include <pybind11/complex.h>
#include <pybind11/stl.h>

#include <vector>

#include "core/memory_budget.h"

namespace result_objects {

namespace {

// Python's objects for a result cost several times the C++ ones: a dict
// entry with its str key and float, a list slot with its complex. Each read
// of the attribute builds them anew, so each read reserves them first.
constexpr double kDictBytesPerKey = 120;
constexpr double kListBytesPerAmplitude = 40;
// What each shot of Result.memory costs: its list slot. The keys are one
// str object each, shared by the shots that drew them.
constexpr double kListBytesPerShot = sizeof(void*);
constexpr double kBytesPerKeyObject = 48;

}  // namespace

// The dict is made straight from the result's keys, never through a C++ map
// of them: a spread distribution has millions.
py::typing::Dict<std::string, double> probabilities_of(const Result& r) {
    const std::size_t keys = r.key_count();
    const double width = static_cast<double>(r.dense_width());
    memory_budget::reservation held = memory_budget::reserve(
        static_cast<double>(keys) * (kDictBytesPerKey + width),
        "Result.probabilities as a dict of " + std::to_string(keys) + " keys");
    py::typing::Dict<std::string, double> keyed;
    r.for_each_key([&](const std::string& key, double p) {
        py::str text(key);
        py::float_ value(p);
        if (PyDict_SetItem(keyed.ptr(), text.ptr(), value.ptr()) != 0) throw py::error_already_set();
    });
    return keyed;
}

py::typing::List<std::complex<double>> states_of(const Result& r) {
    const bool single = r.single_precision_states();
    const std::size_t size = single ? r.shared_single_states()->size() : r.states().size();
    memory_budget::reservation held = memory_budget::reserve(
        static_cast<double>(size) * kListBytesPerAmplitude,
        "Result.states as a list of " + std::to_string(size) + " complex numbers");
    py::object list = single ? py::cast(*r.shared_single_states()) : py::cast(r.states());
    return py::reinterpret_steal<py::typing::List<std::complex<double>>>(list.release());
}

py::typing::List<py::str> memory_of(const Result& r) {
    double key_bytes = 0;
    for (const std::string& key : r.memory_keys) key_bytes += kBytesPerKeyObject + static_cast<double>(key.size());
    memory_budget::reservation held =
        memory_budget::reserve(static_cast<double>(r.memory_shots.size()) * kListBytesPerShot + key_bytes,
                               "Result.memory as a list of " + std::to_string(r.memory_shots.size()) + " shots");
    std::vector<py::str> keys(r.memory_keys.begin(), r.memory_keys.end());
    py::list shots(r.memory_shots.size());
    for (std::size_t i = 0; i < r.memory_shots.size(); ++i) shots[i] = keys[r.memory_shots[i]];
    return py::reinterpret_steal<py::typing::List<py::str>>(shots.release());
}

}  // namespace result_objects
