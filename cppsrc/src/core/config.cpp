#include "config.h"

bool config_reader::has(const char* key) const {
    int found = PyDict_Contains(config_.ptr(), py::str(key).ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

py::object config_reader::item(const char* key) const {
    return py::reinterpret_borrow<py::object>(PyDict_GetItemString(config_.ptr(), key));
}

bool config_reader::get_bool(const char* key, bool fallback) const {
    return has(key) ? py::cast<bool>(item(key)) : fallback;
}

int config_reader::get_int(const char* key, int fallback) const {
    return has(key) ? py::cast<int>(item(key)) : fallback;
}

std::uint16_t config_reader::get_u16(const char* key, std::uint16_t fallback) const {
    return has(key) ? py::cast<std::uint16_t>(item(key)) : fallback;
}

std::string config_reader::get_text(const char* key, const std::string& fallback) const {
    return has(key) ? py::cast<std::string>(item(key)) : fallback;
}

std::vector<int> config_reader::get_int_list(const char* key) const {
    py::object value = item(key);
    py::list list = py::isinstance<py::list>(value)
                        ? py::reinterpret_borrow<py::list>(value)
                        : py::reinterpret_steal<py::list>(PySequence_List(value.ptr()));
    if (!list) throw py::error_already_set();
    std::vector<int> out;
    out.reserve(list.size());
    for (py::handle element : list) out.push_back(py::cast<int>(element));
    return out;
}
