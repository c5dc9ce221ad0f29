#include "bindings/config/config_reader.h"

#include <algorithm>
#include <type_traits>

#include "bindings/config/config_keys.h"

namespace {

// Created with the module and kept for the life of the process.
PyObject* config_type_error = nullptr;

}  // namespace

void install_config_errors(py::module_& m) {
    const py::tuple bases = py::make_tuple(py::handle(PyExc_RuntimeError), py::handle(PyExc_TypeError));
    config_type_error = PyErr_NewExceptionWithDoc(
        "kovra_backends.ConfigTypeError",
        "A configuration value of a type its key does not take (or an integer outside the range it takes). A "
        "RuntimeError too, as such refusals were before they had a class of their own.",
        bases.ptr(), nullptr);
    if (config_type_error == nullptr) throw py::error_already_set();
    m.add_object("ConfigTypeError", py::reinterpret_borrow<py::object>(config_type_error));
}

bool is_complex_number(const py::handle& value) {
    if (PyComplex_Check(value.ptr())) return true;
    if (PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr())) return false;  // the usual case, without an import
    const py::module_ numbers = py::module_::import("numbers");
    return py::isinstance(value, numbers.attr("Complex")) && !py::isinstance(value, numbers.attr("Real"));
}

void config_reader::refuse_unknown_keys() const {
    for (const auto& entry : config_) {
        const py::handle key = entry.first;
        // Text that UTF-8 cannot hold (a lone surrogate) is no key either.
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(key.ptr()) ? PyUnicode_AsUTF8AndSize(key.ptr(), &size) : nullptr;
        if (utf8 == nullptr) PyErr_Clear();
        const std::string given = utf8 ? std::string(utf8, static_cast<std::size_t>(size)) : std::string();
        if (utf8 && std::find(known_->begin(), known_->end(), given) != known_->end()) continue;
        throw py::value_error(config_keys::unknown_key_message(py::repr(key).cast<std::string>(), given, *known_));
    }
}

void config_reader::require_known(const char* key) const {
    if (std::find(known_->begin(), known_->end(), key) == known_->end())
        throw std::logic_error(std::string("the configuration key \"") + key + "\" is read but not listed");
}

bool config_reader::has(const char* key) const {
    require_known(key);
    int found = PyDict_Contains(config_.ptr(), py::str(key).ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

py::object config_reader::item(const char* key) const {
    require_known(key);
    return py::reinterpret_borrow<py::object>(PyDict_GetItemString(config_.ptr(), key));
}

namespace {

// What each read takes, as its refusal says it: pybind11's name of the C++
// type, and the values in words.
struct wanted_words {
    const char* cpp;
    const char* text;
};

template <class T>
constexpr wanted_words wanted() {
    if constexpr (std::is_same_v<T, bool>) return {"bool", "True or False"};
    if constexpr (std::is_same_v<T, int>) return {"int", "an integer from -2147483648 to 2147483647"};
    if constexpr (std::is_same_v<T, long long>) return {"long long", "an integer from -2^63 to 2^63 - 1"};
    if constexpr (std::is_same_v<T, std::uint16_t>) return {"uint16_t", "an integer from 0 to 65535"};
    if constexpr (std::is_same_v<T, double>) return {"double", "a real number"};
    if constexpr (std::is_same_v<T, std::string>) return {"str", "text"};
}

// pybind11's conversion, its refusal naming the key and the value given:
// pybind11's own says neither (its C++ type is '?' in release builds). The
// message keeps pybind11's opening, which callers have matched on.
template <class T>
T cast_named(const py::handle& value, const std::string& what) {
    try {
        return py::cast<T>(value);
    } catch (const py::cast_error&) {
        const std::string type = py::str(py::type::of(value));
        PyErr_SetString(config_type_error, ("Unable to cast Python instance of type " + type + " to C++ type '" +
                                            wanted<T>().cpp + "': " + what + " must be " + wanted<T>().text +
                                            ", got " + py::repr(value).cast<std::string>())
                                               .c_str());
        throw py::error_already_set();
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

py::object config_reader::get_integer(const char* key) const {
    if (!has(key) || item(key).is_none()) return py::none();
    const py::object value = item(key);
    PyObject* integer = PyNumber_Index(value.ptr());
    if (integer == nullptr) {
        PyErr_Clear();
        PyErr_SetString(config_type_error, ("\"" + std::string(key) + "\" must be an integer, got " +
                                            py::repr(value).cast<std::string>())
                                               .c_str());
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(integer);
}
