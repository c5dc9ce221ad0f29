#include "graph/call_context.h"

#include <algorithm>

namespace frontend {

namespace {

// Messages become Python str: bytes of a name that are not UTF-8 show as
// \xNN rather than turning the report into a UnicodeDecodeError.
std::string printable(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
    if (decoded == nullptr) {
        PyErr_Clear();
        return text;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded, &size);
    std::string out = utf8 != nullptr ? std::string(utf8, static_cast<std::size_t>(size)) : text;
    if (utf8 == nullptr) PyErr_Clear();
    Py_DECREF(decoded);
    return out;
}

}  // namespace

std::string call_context::name_of(int v) const {
    graph_attributes::py_ref name = reader_.entry("name", v);
    if (!name || !PyUnicode_Check(name.get())) return {};
    const char* utf8 = PyUnicode_AsUTF8(name.get());
    if (utf8 == nullptr) {
        PyErr_Clear();
        return {};
    }
    return utf8;
}

std::string call_context::where(int v) const {
    std::string text = "vertex " + std::to_string(v);
    const std::string name = name_of(v);
    if (!name.empty()) text += " (" + name + ")";
    if (!calls_.empty()) {
        text += " in definition \"" + calls_.back().second + "\" called from vertex " +
                std::to_string(calls_.back().first);
    }
    return text;
}

void call_context::fail(int v, const std::string& what, vertex_error::fault kind) const {
    // An undeclared index reads as it always has: "unordered_map::at: key
    // not found: vertex 3 (CNOT) uses qubit 7, ...".
    const bool undeclared = kind == vertex_error::fault::undeclared;
    const std::string text = undeclared ? "unordered_map::at: key not found: " + where(v) + " " + what
                                        : where(v) + ": " + what;
    throw vertex_error(kind, v, name_of(v), printable(text));
}

bool call_context::expanding(const std::string& callee) const {
    return std::any_of(calls_.begin(), calls_.end(), [&](const auto& call) { return call.second == callee; });
}

}  // namespace frontend
