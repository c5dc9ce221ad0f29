// Checked reads of a python-igraph graph for the lowerings: each throws
// igraph_errors::graph_error with the accessor's reason instead of returning
// a code. Every call reads Python objects: hold the interpreter lock.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph/graph_attributes.h"

namespace graph_attributes {

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
        py_ref entry = list_entry(vertex_attrs(), key, vid);
        return entry && !entry.is_none();
    }

    // The raw entry, held (empty when absent).
    py_ref entry(const char* key, int vid) const {
        return list_entry(vertex_attrs(), key, vid);
    }

    double number(const char* key, int vid, double def) const {
        int status;
        double value = get_vertex_number(vertex_attrs(), key, vid, def, &status);
        igraph_errors::check(status);
        return value;
    }

    // The vertex's value under `key` as an exact integer in binary, see
    // get_vertex_integer_binary; empty when it is not a whole number.
    std::optional<std::string> integer_binary(const char* key, int vid) const {
        return get_vertex_integer_binary(vertex_attrs(), key, vid);
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
        // igraph's sort passes over self-loops, yet a vertex that feeds
        // itself is a cycle like any other.
        igraph_bool_t loops = false;
        igraph_errors::check(igraph_has_loop(graph_, &loops));
        if (loops || static_cast<int>(ids.size()) != vertex_count()) {
            throw igraph_errors::graph_error(
                "The graph has cycles; topological sorting is only possible in acyclic graphs");
        }
        return std::vector<int>(ids.begin(), ids.end());
    }

private:
    const igraph_t* graph_;
};

}  // namespace graph_attributes
