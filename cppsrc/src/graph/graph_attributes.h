// Reading a python-igraph graph in place.
//
// The `igraph_t` carries the structure; every attribute lives in
// python-igraph's attribute record, whose first three members are the graph,
// vertex and edge attribute dictionaries (vertex and edge values are Python
// lists indexed by vertex or edge id). This header is the one place that
// knows that layout.
//
// The accessors never raise a Python exception: a failure is reported through
// igraph's error mechanism (see igraph_errors.h) and returned as an igraph
// error code, and any Python error met on the way is cleared. `graph_reader`
// (util/graph_reader.h) wraps them into calls that throw instead.
//
// Every function here calls the Python C API: hold the interpreter lock.
#pragma once

#include <Python.h>
#include <igraph.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "graph/igraph_errors.h"

namespace graph_attributes {

inline constexpr const char* kSourcePath = "cppsrc/include/util/graph_attributes";

struct attribute_record {
    PyObject* dicts[3];  // graph, vertex, edge
};

inline PyObject* graph_dict(const igraph_t* graph) {
    return static_cast<const attribute_record*>(graph->attr)->dicts[0];
}
inline PyObject* vertex_dict(const igraph_t* graph) {
    return static_cast<const attribute_record*>(graph->attr)->dicts[1];
}
inline PyObject* edge_dict(const igraph_t* graph) {
    return static_cast<const attribute_record*>(graph->attr)->dicts[2];
}

inline int report(const char* reason, int line, int code) {
    PyErr_Clear();
    return igraph_error(reason, kSourcePath, line, code);
}

// A strong reference, released at the end of its scope. Attribute values
// are Python objects whose conversions (__float__, __index__, __str__) run
// arbitrary code: that code may empty a list, delete an attribute or change
// the graph, so nothing may be read through a borrowed pointer across such a
// call.
class py_ref {
public:
    py_ref() = default;
    static py_ref steal(PyObject* object) { return py_ref(object); }
    static py_ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return py_ref(object);
    }
    py_ref(py_ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    py_ref& operator=(py_ref&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    py_ref(const py_ref&) = delete;
    py_ref& operator=(const py_ref&) = delete;
    ~py_ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    bool is_none() const { return object_ == Py_None; }

private:
    explicit py_ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// A malloc'ed UTF-8 copy of `obj` (str() of anything that is not str or
// bytes). NULL when conversion fails, and (with a ValueError) when the text
// holds a NUL: C code would read it as its prefix, "X\0..." as "X".
inline char* py_object_to_c_string(PyObject* obj) {
    if (obj == nullptr) return nullptr;
    py_ref text;
    if (PyBytes_Check(obj) || PyUnicode_Check(obj)) {
        text = py_ref::borrow(obj);
    } else {
        text = py_ref::steal(PyObject_Str(obj));
        if (!text) return nullptr;
    }
    py_ref bytes = PyBytes_Check(text.get()) ? py_ref::borrow(text.get())
                                             : py_ref::steal(PyUnicode_AsUTF8String(text.get()));
    if (!bytes) return nullptr;
    const char* data = PyBytes_AS_STRING(bytes.get());
    if (std::strlen(data) != static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))) {
        PyErr_SetString(PyExc_ValueError, "the text holds a NUL character");
        return nullptr;
    }
    char* copy = strdup(data);
    if (copy == nullptr) PyErr_NoMemory();
    return copy;
}

// Entry `vid` of the list stored under `key` (a new reference), or an empty
// reference when the key is absent, the value is not a list or the id is
// outside it.
inline py_ref list_entry(PyObject* dict, const char* key, long vid) {
    PyObject* list = PyDict_GetItemString(dict, key);
    if (list == nullptr || !PyList_Check(list)) return py_ref();
    if (vid < 0 || vid >= PyList_GET_SIZE(list)) return py_ref();
    return py_ref::borrow(PyList_GET_ITEM(list, vid));
}

inline int get_vertex_name(PyObject* vertex_attrs, int vid, char** out) {
    *out = nullptr;
    PyObject* list = PyDict_GetItemString(vertex_attrs, "name");
    if (list == nullptr) return report("No such attribute", 103, IGRAPH_EINVAL);
    py_ref entry = list_entry(vertex_attrs, "name", vid);
    if (!entry) return report("null element in PyList", 107, IGRAPH_EINVAL);
    *out = py_object_to_c_string(entry.get());
    if (*out == nullptr) {
        bool nul = PyErr_ExceptionMatches(PyExc_ValueError);
        return report(nul ? "the name holds a NUL character"
                          : "error while calling PyObject_ConvertToCString",
                      111, IGRAPH_EINVAL);
    }
    return IGRAPH_SUCCESS;
}

// An integer read with operator.index semantics (so numpy integers count),
// or empty (with the Python error cleared) for floats, non-numbers and
// values outside `long`.
inline std::optional<long> item_as_integer(PyObject* item) {
    if (item == nullptr || PyFloat_Check(item) || !PyIndex_Check(item)) return std::nullopt;
    py_ref held = py_ref::borrow(item);
    py_ref index = py_ref::steal(PyNumber_Index(held.get()));
    if (!index) {
        PyErr_Clear();
        return std::nullopt;
    }
    long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

// Converts one list item to a double; false (with the Python error cleared)
// when the item is not a number. Integers are read through __index__, as
// operator.index would (numpy integers included); anything else, or an
// integer-like whose __index__ fails, through __float__.
inline bool item_as_double(PyObject* item, double* value) {
    py_ref held = py_ref::borrow(item);
    if (!PyFloat_Check(item) && PyIndex_Check(item)) {
        py_ref index = py_ref::steal(PyNumber_Index(held.get()));
        double number = index ? PyLong_AsDouble(index.get()) : -1.0;
        if (index && !(number == -1.0 && PyErr_Occurred())) {
            *value = number;
            return true;
        }
        PyErr_Clear();
    }
    py_ref number = py_ref::steal(PyNumber_Float(held.get()));
    if (!number) {
        PyErr_Clear();
        return false;
    }
    *value = PyFloat_AS_DOUBLE(number.get());
    return true;
}

// Fills `out` with the numbers of the list under `key` for vertex `vid`. An
// absent key, a None entry or an empty list leave `out` as it was. A value
// that is not a list, or an item that is not a number, is reported.
inline int get_vertex_number_list(PyObject* vertex_attrs, const char* key, int vid,
                                  igraph_vector_t* out) {
    py_ref entry = list_entry(vertex_attrs, key, vid);
    if (!entry || entry.is_none()) return IGRAPH_SUCCESS;
    if (!PyList_Check(entry.get()) && !PyTuple_Check(entry.get())) {
        std::string reason = "attribute \"" + std::string(key) + "\" of vertex " +
                             std::to_string(vid) + " is not a list";
        return report(reason.c_str(), 215, IGRAPH_EINVAL);
    }
    // A tuple copy holds every item: a conversion that empties the list
    // cannot free the items still to be read.
    py_ref items = py_ref::steal(PySequence_Tuple(entry.get()));
    if (!items) return report("", 217, IGRAPH_ENOMEM);
    Py_ssize_t size = PyTuple_GET_SIZE(items.get());
    if (size < 1) return IGRAPH_SUCCESS;
    int code = igraph_vector_resize(out, size);
    if (code != IGRAPH_SUCCESS) return report("", 219, code);
    for (Py_ssize_t i = 0; i < size; ++i) {
        double value;
        if (!item_as_double(PyTuple_GET_ITEM(items.get(), i), &value)) {
            std::string reason = "attribute \"" + std::string(key) + "\" of vertex " +
                                 std::to_string(vid) + " holds a non-numeric item";
            return report(reason.c_str(), 225, IGRAPH_EINVAL);
        }
        VECTOR(*out)[i] = value;
    }
    return IGRAPH_SUCCESS;
}

// The values of `key` on the edges selected by `es`, in ascending edge-id
// order; edges whose value is None are skipped.
inline int get_edge_numbers(const igraph_t* graph, const char* key, igraph_es_t es,
                            igraph_vector_t* out) {
    // Held, and its size read again for every edge: a conversion may shrink it.
    py_ref list = py_ref::borrow(PyDict_GetItemString(edge_dict(graph), key));
    if (!list || !PyList_Check(list.get())) {
        return report("No such attribute", 279, IGRAPH_EINVAL);
    }
    igraph_eit_t it;
    int code = igraph_eit_create(graph, es, &it);
    if (code != IGRAPH_SUCCESS) return report("", 283, code);
    IGRAPH_FINALLY(igraph_eit_destroy, &it);
    code = igraph_vector_resize(out, IGRAPH_EIT_SIZE(it));
    if (code != IGRAPH_SUCCESS) return report("", 285, code);

    igraph_vector_t ids;
    code = igraph_vector_init(&ids, 0);
    if (code != IGRAPH_SUCCESS) return report("", 288, code);
    IGRAPH_FINALLY(igraph_vector_destroy, &ids);
    for (; !IGRAPH_EIT_END(it); IGRAPH_EIT_NEXT(it)) {
        code = igraph_vector_push_back(&ids, IGRAPH_EIT_GET(it));
        if (code != IGRAPH_SUCCESS) return report("", 292, code);
    }
    igraph_vector_sort(&ids);

    long stored = 0;
    for (long k = 0; k < igraph_vector_size(&ids); ++k) {
        long eid = static_cast<long>(VECTOR(ids)[k]);
        py_ref entry = py_ref::borrow(eid < PyList_GET_SIZE(list.get())
                                          ? PyList_GET_ITEM(list.get(), eid)
                                          : Py_None);
        if (entry.is_none()) continue;
        double value;
        if (!item_as_double(entry.get(), &value)) {
            std::string reason = "edge attribute \"" + std::string(key) + "\" of edge " +
                                 std::to_string(eid) + " is not a number";
            return report(reason.c_str(), 301, IGRAPH_EINVAL);
        }
        VECTOR(*out)[stored++] = value;
    }
    code = igraph_vector_resize(out, stored);
    if (code != IGRAPH_SUCCESS) return report("", 307, code);
    igraph_vector_destroy(&ids);
    igraph_eit_destroy(&it);
    IGRAPH_FINALLY_CLEAN(2);
    return IGRAPH_SUCCESS;
}

// The number under `key` for vertex `vid`; `def` when absent or None. A value
// that is not a number is reported and `*status` receives the error code.
inline double get_vertex_number(PyObject* vertex_attrs, const char* key, int vid, double def,
                                int* status = nullptr) {
    if (status) *status = IGRAPH_SUCCESS;
    py_ref entry = list_entry(vertex_attrs, key, vid);
    if (!entry || entry.is_none()) return def;
    double value;
    if (!item_as_double(entry.get(), &value)) {
        std::string reason = "attribute \"" + std::string(key) + "\" of vertex " +
                             std::to_string(vid) + " is not a number";
        int code = report(reason.c_str(), 331, IGRAPH_EINVAL);
        if (status) *status = code;
        return def;
    }
    return value;
}

// The graph attribute `key` as a number; NaN (with the Python error cleared)
// when it is absent or not a number.
inline double get_graph_number(PyObject* graph_attrs, const char* key) {
    py_ref value = py_ref::borrow(PyDict_GetItemString(graph_attrs, key));
    double number;
    if (!value || !item_as_double(value.get(), &number)) return std::nan("");
    return number;
}

// The value under `key` for vertex `vid` as an exact integer in binary
// ("101", "-11"): a Python int of any size, or a float (or any number) whose
// value is a whole number. Empty, with the Python error cleared, when the
// value is absent, None, not a number or not whole. Python ints carry every
// bit of a wide register's constant, where a double keeps only 53.
inline std::optional<std::string> get_vertex_integer_binary(PyObject* vertex_attrs, const char* key, int vid) {
    py_ref entry = list_entry(vertex_attrs, key, vid);
    if (!entry || entry.is_none()) return std::nullopt;
    py_ref integer;
    if (!PyFloat_Check(entry.get()) && PyIndex_Check(entry.get())) {
        integer = py_ref::steal(PyNumber_Index(entry.get()));
    } else {
        double value;
        if (!item_as_double(entry.get(), &value) || !std::isfinite(value) || std::floor(value) != value)
            return std::nullopt;
        integer = py_ref::steal(PyLong_FromDouble(value));
    }
    if (!integer) {
        PyErr_Clear();
        return std::nullopt;
    }
    py_ref text = py_ref::steal(PyNumber_ToBase(integer.get(), 2));  // "0b101" or "-0b101"
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::string binary(utf8);
    const std::size_t prefix = binary.find("0b");
    if (prefix == std::string::npos) return std::nullopt;
    return binary.erase(prefix, 2);
}

}  // namespace graph_attributes
