// The simulator's program: which vertices form each register it runs, and
// their reading.
#include <stdexcept>
#include <string>

#include "graph/graph_program.h"
#include "graph/sub_circuit_reader.h"
#include "graph/vertex_kinds.h"

namespace frontend {

namespace {

// The vertices of `order` that belong to `part`, in order.
std::vector<int> vertex_list(const std::vector<int>& order, const std::set<int>& part) {
    std::vector<int> list;
    for (int v : order) {
        if (part.count(v)) list.push_back(v);
    }
    return list;
}

int count_kind(const graph_attributes::graph_reader& reader, const std::vector<int>& vertices,
               vertex_kinds::kind kind) {
    int count = 0;
    for (int v : vertices) {
        if (vertex_kind(reader.entry("type", v)) == kind) ++count;
    }
    return count;
}

// A graph attribute that must be a non-negative 32-bit count.
int graph_count(const graph_attributes::graph_reader& reader, const char* key) {
    double value = reader.graph_number(key);
    if (value < 0 || value >= 2147483648.0) {
        throw std::invalid_argument("graph attribute \"" + std::string(key) + "\" is " + std::to_string(value) +
                                    ", not a count of bits");
    }
    return static_cast<int>(value);
}

}  // namespace

std::vector<std::set<int>> sub_circuits(const graph_attributes::graph_reader& reader) {
    std::vector<int> seeds;
    for (int v = 0; v < reader.vertex_count(); ++v) {
        if (vertex_kind(reader.entry("type", v)) == vertex_kinds::REGISTER) seeds.push_back(v);
    }
    return reader.components_from(seeds);
}

program::sub_circuit read_sub_circuit(const graph_attributes::graph_reader& reader, const std::vector<int>& order,
                                      int qnum, int cnum) {
    sub_circuit_reader read(reader, qnum, cnum);
    read.declare_registers(order);
    for (int v : order) read.read_vertex(v);
    return read.take();
}

std::vector<sub_circuit_source> simulator_sources(const graph_attributes::graph_reader& reader,
                                                  const std::vector<int>& order, bool parallel) {
    const std::vector<std::set<int>> parts = sub_circuits(reader);
    std::vector<sub_circuit_source> sources;
    if (!parallel) {
        std::vector<int> list;
        for (const std::set<int>& part : parts) {
            std::vector<int> vertices = vertex_list(order, part);
            list.insert(list.end(), vertices.begin(), vertices.end());
        }
        const int qnum = graph_count(reader, "qnum");
        sources.push_back({std::move(list), qnum, graph_count(reader, "cnum")});
        return sources;
    }
    for (const std::set<int>& part : parts) {
        std::vector<int> vertices = vertex_list(order, part);
        const int qnum = count_kind(reader, vertices, vertex_kinds::QUBIT);
        if (qnum == 0) continue;
        const int cnum = count_kind(reader, vertices, vertex_kinds::CLBIT);
        sources.push_back({std::move(vertices), qnum, cnum});
    }
    return sources;
}

}  // namespace frontend
