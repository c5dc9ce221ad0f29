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
// below wraps them into calls that throw instead.
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
#include <string>
#include <vector>

#include "util/igraph_errors.h"

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

// A malloc'ed UTF-8 copy of `obj` (str() of anything that is not str or
// bytes); bytes are copied up to their first NUL. NULL when conversion fails.
inline char* py_object_to_c_string(PyObject* obj) {
    if (obj == nullptr) return nullptr;
    PyObject* text;
    if (PyBytes_Check(obj) || PyUnicode_Check(obj)) {
        Py_INCREF(obj);
        text = obj;
    } else {
        text = PyObject_Str(obj);
        if (text == nullptr) return nullptr;
    }
    char* copy = nullptr;
    if (PyBytes_Check(text)) {
        copy = strdup(PyBytes_AS_STRING(text));
    } else {
        PyObject* encoded = PyUnicode_AsUTF8String(text);
        if (encoded == nullptr) {
            Py_DECREF(text);
            return nullptr;
        }
        copy = strdup(PyBytes_AS_STRING(encoded));
        Py_DECREF(encoded);
    }
    if (copy == nullptr) PyErr_NoMemory();
    Py_DECREF(text);
    return copy;
}

// Borrowed entry `vid` of the list stored under `key`, or nullptr when the key
// is absent, the value is not a list or the id is outside it.
inline PyObject* list_entry(PyObject* dict, const char* key, long vid) {
    PyObject* list = PyDict_GetItemString(dict, key);
    if (list == nullptr || !PyList_Check(list)) return nullptr;
    if (vid < 0 || vid >= PyList_GET_SIZE(list)) return nullptr;
    return PyList_GET_ITEM(list, vid);
}

inline int get_vertex_name(PyObject* vertex_attrs, int vid, char** out) {
    *out = nullptr;
    PyObject* list = PyDict_GetItemString(vertex_attrs, "name");
    if (list == nullptr) return report("No such attribute", 103, IGRAPH_EINVAL);
    PyObject* entry = PyList_Check(list) ? PyList_GetItem(list, vid) : nullptr;
    if (entry == nullptr) return report("null element in PyList", 107, IGRAPH_EINVAL);
    *out = py_object_to_c_string(entry);
    if (*out == nullptr) {
        return report("error while calling PyObject_ConvertToCString", 111, IGRAPH_EINVAL);
    }
    return IGRAPH_SUCCESS;
}

// Converts one list item to a double; false (with the Python error cleared)
// when the item is not a number.
inline bool item_as_double(PyObject* item, double* value) {
    PyObject* number = PyNumber_Float(item);
    if (number == nullptr) {
        PyErr_Clear();
        return false;
    }
    *value = PyFloat_AS_DOUBLE(number);
    Py_DECREF(number);
    return true;
}

// Fills `out` with the numbers of the list under `key` for vertex `vid`. An
// absent key, a None entry or an empty list leave `out` as it was. A value
// that is not a list, or an item that is not a number, is reported.
inline int get_vertex_number_list(PyObject* vertex_attrs, const char* key, int vid,
                                  igraph_vector_t* out) {
    PyObject* entry = list_entry(vertex_attrs, key, vid);
    if (entry == nullptr || entry == Py_None) return IGRAPH_SUCCESS;
    if (!PyList_Check(entry) && !PyTuple_Check(entry)) {
        std::string reason = "attribute \"" + std::string(key) + "\" of vertex " +
                             std::to_string(vid) + " is not a list";
        return report(reason.c_str(), 215, IGRAPH_EINVAL);
    }
    Py_ssize_t size = PySequence_Fast_GET_SIZE(entry);
    if (size < 1) return IGRAPH_SUCCESS;
    int code = igraph_vector_resize(out, size);
    if (code != IGRAPH_SUCCESS) return report("", 219, code);
    PyObject** items = PySequence_Fast_ITEMS(entry);
    for (Py_ssize_t i = 0; i < size; ++i) {
        double value;
        if (!item_as_double(items[i], &value)) {
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
    PyObject* list = PyDict_GetItemString(edge_dict(graph), key);
    if (list == nullptr || !PyList_Check(list)) {
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
        PyObject* entry = eid < PyList_GET_SIZE(list) ? PyList_GET_ITEM(list, eid) : Py_None;
        if (entry == Py_None) continue;
        double value;
        if (!item_as_double(entry, &value)) {
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
    PyObject* entry = list_entry(vertex_attrs, key, vid);
    if (entry == nullptr || entry == Py_None) return def;
    double value = PyFloat_AsDouble(entry);
    if (value == -1.0 && PyErr_Occurred()) {
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
    PyObject* value = PyDict_GetItemString(graph_attrs, key);
    if (value == nullptr) return std::nan("");
    double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nan("");
    }
    return number;
}

// ---------------------------------------------------------------------------
// Checked reads for the lowerings: each throws igraph_errors::graph_error with
// the accessor's reason instead of returning a code.

struct free_deleter {
    void operator()(char* p) const { std::free(p); }
};

// An igraph vector owned by a C++ scope.
class number_vector {
public:
    number_vector() { igraph_errors::check(igraph_vector_init(&v_, 0)); }
    ~number_vector() { igraph_vector_destroy(&v_); }
    number_vector(const number_vector&) = delete;
    number_vector& operator=(const number_vector&) = delete;
    igraph_vector_t* get() { return &v_; }
    std::vector<double> values() const {
        long n = igraph_vector_size(&v_);
        return std::vector<double>(VECTOR(v_), VECTOR(v_) + n);
    }

private:
    igraph_vector_t v_;
};

class graph_reader {
public:
    explicit graph_reader(const igraph_t* graph) : graph_(graph) {
        if (graph == nullptr || graph->attr == nullptr || !PyDict_Check(graph_dict(graph)) ||
            !PyDict_Check(vertex_dict(graph)) || !PyDict_Check(edge_dict(graph))) {
            throw std::invalid_argument("the capsule does not hold a python-igraph graph");
        }
    }

    const igraph_t* graph() const { return graph_; }
    PyObject* graph_attrs() const { return graph_dict(graph_); }
    PyObject* vertex_attrs() const { return vertex_dict(graph_); }
    PyObject* edge_attrs() const { return edge_dict(graph_); }
    int vertex_count() const { return static_cast<int>(igraph_vcount(graph_)); }

    // Vertex "name" as text (str() of non-text values).
    std::string name(int vid) const {
        char* raw = nullptr;
        igraph_errors::check(get_vertex_name(vertex_attrs(), vid, &raw),
                             "vertex " + std::to_string(vid) + " \"name\"");
        std::unique_ptr<char, free_deleter> owned(raw);
        return std::string(raw);
    }

    // Vertex number list under `key`; empty when absent, None or empty.
    std::vector<double> numbers(const char* key, int vid) const {
        number_vector out;
        igraph_errors::check(get_vertex_number_list(vertex_attrs(), key, vid, out.get()));
        return out.values();
    }

    // Edge attribute `key` of the edges entering `vid`, in ascending edge-id order.
    std::vector<double> in_edge_numbers(const char* key, int vid) const {
        igraph_es_t es;
        igraph_errors::check(igraph_es_incident(&es, vid, IGRAPH_IN));
        number_vector out;
        int code = get_edge_numbers(graph_, key, es, out.get());
        igraph_es_destroy(&es);
        igraph_errors::check(code, "edge attribute \"" + std::string(key) + "\" into vertex " +
                                       std::to_string(vid));
        return out.values();
    }

    // True when the vertex has a value other than None under `key`.
    bool has(const char* key, int vid) const {
        PyObject* entry = list_entry(vertex_attrs(), key, vid);
        return entry != nullptr && entry != Py_None;
    }

    // Borrowed raw entry (nullptr when absent).
    PyObject* entry(const char* key, int vid) const {
        return list_entry(vertex_attrs(), key, vid);
    }

    double number(const char* key, int vid, double def) const {
        int status;
        double value = get_vertex_number(vertex_attrs(), key, vid, def, &status);
        igraph_errors::check(status);
        return value;
    }

    // A graph attribute that must be a finite number.
    double graph_number(const char* key) const {
        double value = get_graph_number(graph_attrs(), key);
        if (!std::isfinite(value)) {
            if (PyDict_GetItemString(graph_attrs(), key) == nullptr) {
                throw std::runtime_error("graph attribute \"" + std::string(key) + "\" is missing");
            }
            throw std::runtime_error("graph attribute \"" + std::string(key) +
                                     "\" is not a finite number");
        }
        return value;
    }

    // The weakly connected parts of the graph that hold the `seeds` (edge
    // direction ignored), one set per seed not reached from an earlier one,
    // in seed order.
    std::vector<std::set<int>> components_from(const std::vector<int>& seeds) const {
        std::vector<std::set<int>> parts;
        std::vector<bool> visited(static_cast<std::size_t>(vertex_count()), false);
        number_vector neighbours;
        for (int seed : seeds) {
            if (visited[seed]) continue;
            std::set<int> part;
            std::deque<int> queue{seed};
            while (!queue.empty()) {
                int v = queue.front();
                queue.pop_front();
                if (visited[v]) continue;
                visited[v] = true;
                part.insert(v);
                igraph_vector_t* adjacent = neighbours.get();
                igraph_errors::check(igraph_neighbors(graph_, adjacent, v, IGRAPH_ALL));
                for (long k = 0; k < igraph_vector_size(adjacent); ++k) {
                    int n = static_cast<int>(VECTOR(*adjacent)[k]);
                    if (!visited[n]) queue.push_back(n);
                }
            }
            parts.push_back(std::move(part));
        }
        return parts;
    }

    // The vertices reachable from `root` along out-edges, root excluded, in
    // reverse finishing order of a depth-first search: a topological order.
    std::vector<int> reachable_in_order(int root, const std::string& context) const {
        number_vector finished;
        igraph_errors::check(igraph_dfs(graph_, root, IGRAPH_OUT, false, nullptr, finished.get(),
                                        nullptr, nullptr, nullptr, nullptr, nullptr),
                             context);
        const igraph_vector_t* order = finished.get();
        std::vector<int> body;
        for (long k = 0; k < igraph_vector_size(order); ++k) {
            double id = VECTOR(*order)[k];
            if (std::isnan(id) || static_cast<int>(id) == root) break;
            body.push_back(static_cast<int>(id));
        }
        std::reverse(body.begin(), body.end());
        return body;
    }

    // All vertices in topological order (Kahn's algorithm, igraph's FIFO order).
    std::vector<int> topological_order() const {
        number_vector order;
        igraph_errors::check(igraph_topological_sorting(graph_, order.get(), IGRAPH_OUT));
        std::vector<double> ids = order.values();
        if (static_cast<int>(ids.size()) != vertex_count()) {
            throw igraph_errors::graph_error(
                "The graph has cycles; topological sorting is only possible in acyclic graphs");
        }
        return std::vector<int>(ids.begin(), ids.end());
    }

private:
    const igraph_t* graph_;
};

}  // namespace graph_attributes
