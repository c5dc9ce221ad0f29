#include "module/config_reader.h"

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

double config_reader::get_number(const char* key, double fallback) const {
    return has(key) ? py::cast<double>(item(key)) : fallback;
}

std::string config_reader::get_text(const char* key, const std::string& fallback) const {
    return has(key) ? py::cast<std::string>(item(key)) : fallback;
}

std::vector<int> config_reader::get_int_list(const char* key) const {
    py::object value = item(key);
    // A tuple copy holds every item: an item's __index__ may empty the list.
    py::tuple items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(value.ptr()));
    if (!items) throw py::error_already_set();
    std::vector<int> out;
    out.reserve(items.size());
    for (py::handle element : items) out.push_back(py::cast<int>(element));
    return out;
}
