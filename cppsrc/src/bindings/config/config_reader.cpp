#include "bindings/config/config_reader.h"

bool is_complex_number(const py::handle& value) {
    if (PyComplex_Check(value.ptr())) return true;
    if (PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr())) return false;  // the usual case, without an import
    const py::module_ numbers = py::module_::import("numbers");
    return py::isinstance(value, numbers.attr("Complex")) && !py::isinstance(value, numbers.attr("Real"));
}

bool config_reader::has(const char* key) const {
    int found = PyDict_Contains(config_.ptr(), py::str(key).ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

py::object config_reader::item(const char* key) const {
    return py::reinterpret_borrow<py::object>(PyDict_GetItemString(config_.ptr(), key));
}

namespace {

// What each read takes, as its refusal says it.
template <class T>
struct wanted;
template <>
struct wanted<bool> {
    static constexpr const char* cpp = "bool";
    static constexpr const char* text = "True or False";
};
template <>
struct wanted<int> {
    static constexpr const char* cpp = "int";
    static constexpr const char* text = "an integer from -2147483648 to 2147483647";
};
template <>
struct wanted<long long> {
    static constexpr const char* cpp = "long long";
    static constexpr const char* text = "an integer from -2^63 to 2^63 - 1";
};
template <>
struct wanted<std::uint16_t> {
    static constexpr const char* cpp = "uint16_t";
    static constexpr const char* text = "an integer from 0 to 65535";
};
template <>
struct wanted<double> {
    static constexpr const char* cpp = "double";
    static constexpr const char* text = "a real number";
};
template <>
struct wanted<std::string> {
    static constexpr const char* cpp = "str";
    static constexpr const char* text = "text";
};

// pybind11's conversion, its refusal naming the key and the value given:
// pybind11's own says neither (its C++ type is '?' in release builds). The
// message keeps pybind11's opening, which callers have matched on.
template <class T>
T cast_named(const py::handle& value, const std::string& what) {
    try {
        return py::cast<T>(value);
    } catch (const py::cast_error&) {
        const std::string type = py::str(py::type::of(value));
        throw py::cast_error("Unable to cast Python instance of type " + type + " to C++ type '" + wanted<T>::cpp +
                             "': " + what + " must be " + wanted<T>::text + ", got " +
                             py::repr(value).cast<std::string>());
    }
}

template <class T>
T read(const config_reader& config, const char* key, T fallback) {
    return config.has(key) ? cast_named<T>(config.item(key), "\"" + std::string(key) + "\"") : fallback;
}

}  // namespace

bool config_reader::get_bool(const char* key, bool fallback) const { return read<bool>(*this, key, fallback); }

int config_reader::get_int(const char* key, int fallback) const { return read<int>(*this, key, fallback); }

long long config_reader::get_long(const char* key, long long fallback) const {
    return read<long long>(*this, key, fallback);
}

std::uint16_t config_reader::get_u16(const char* key, std::uint16_t fallback) const {
    return read<std::uint16_t>(*this, key, fallback);
}

double config_reader::get_number(const char* key, double fallback) const { return read<double>(*this, key, fallback); }

std::string config_reader::get_text(const char* key, const std::string& fallback) const {
    return read<std::string>(*this, key, fallback);
}

std::vector<int> config_reader::get_int_list(const char* key) const {
    py::object value = item(key);
    // A tuple copy holds every item: an item's __index__ may empty the list.
    py::tuple items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(value.ptr()));
    if (!items) throw py::error_already_set();
    std::vector<int> out;
    out.reserve(items.size());
    for (std::size_t k = 0; k < items.size(); ++k)
        out.push_back(cast_named<int>(items[k], "\"" + std::string(key) + "\" item " + std::to_string(k)));
    return out;
}
