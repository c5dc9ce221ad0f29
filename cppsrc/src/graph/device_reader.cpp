// The main circuit for the NMR device. The device keeps no registers and
// takes any operation name: ops name the graph's own qubits, as the wires
// carry them, and every gate vertex with one to three wires is an op.
// Everything the device could not run sensibly is refused here, before a
// connection is made.
#include <algorithm>
#include <climits>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph/call_context.h"
#include "graph/call_expander.h"
#include "graph/definitions.h"
#include "graph/graph_program.h"
#include "ir/gates.h"
#include "ir/angles.h"
#include "graph/call_limits.h"
#include "graph/vertex_kinds.h"

namespace frontend {

namespace {

using graph_attributes::graph_reader;

// Largest "qnum" that is read at all; the device's time list holds one
// entry per qubit.
constexpr double kMaxQubitCount = 1 << 20;
// A gate becomes one device operation when it acts on one to this many qubits.
constexpr std::size_t kMaxOperationQubits = 3;

// Names in messages, quoted.
std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Whether the operation name can travel in the task message, which is JSON.
bool is_utf8(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (decoded == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(decoded);
    return true;
}

std::string list_text(const std::vector<double>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + number_text(values[i]);
    return text + "]";
}

// The vertex kind ("type") of `v` as both readers take it; the device
// refuses, rather than passes over, one that is no finite int.
std::optional<long> device_kind(const graph_reader& g, int v) {
    const double kind = g.number("type", v, vertex_kinds::GATE);
    if (!std::isfinite(kind) || kind < INT_MIN || kind > INT_MAX) {
        throw std::invalid_argument("vertex " + std::to_string(v) + ": \"type\" " + number_text(kind) +
                                    " is not a vertex kind");
    }
    return vertex_kinds::kind_of_number(kind);
}

// What a call of a definition expands to: its definition-body vertices and
// the device operations among them, counted once per definition.
struct expansion {
    double vertices = 0;
    double operations = 0;
};

class device_reader {
public:
    device_reader(const graph_reader& g, const device_limits& limits, int qnum)
        : g_(g), limits_(limits), context_(g), definitions_(g) {
        out_.qubit_numbers = program::numbering::graph;
        out_.qubits = qnum;
    }

    void read(const std::vector<int>& order, const std::set<int>& main_circuit) {
        for (int v : order) {
            if (main_circuit.count(v) == 0) continue;
            const std::optional<long> kind = device_kind(g_, v);
            if (kind != vertex_kinds::GATE && kind != vertex_kinds::CALL) continue;
            const std::string name = g_.name(v);
            const std::vector<double> qubits = wires(v, name);
            const std::vector<double> params = g_.numbers("params", v);
            if (kind == vertex_kinds::CALL) {
                call(v, name, qubits, params);
            } else {
                gate(v, name, qubits, params);
            }
        }
    }

    program::sub_circuit take() { return std::move(out_); }

private:
    // One gate vertex `v` with its qubits (graph level) and angles (radians).
    void gate(int v, const std::string& name, const std::vector<double>& qubits, const std::vector<double>& params) {
        // The device keeps no classical bits: a condition computed into one
        // could be read by nothing, and passing the store over would lose it.
        if (name == "STORE") context_.fail(v, "operation \"STORE\": the NMR device keeps no classical bits to write");
        const std::size_t n = qubits.size();
        if (n == 0 || n > kMaxOperationQubits) return;
        if (!is_utf8(name)) context_.fail(v, "the operation name is not valid UTF-8");
        // The device keeps no record qubits: a reset has nothing to run on.
        if (name == "RESET") context_.fail(v, "operation \"RESET\": the NMR device cannot reset a qubit");
        if (name == "KRAUS") context_.fail(v, "operation \"KRAUS\": the NMR device runs no channels given as Kraus operators");
        program::op op;
        op.gate = gates::getGateIndex(name);
        op.name = name;
        for (std::size_t k = 0; k < n; ++k) {
            const double t = std::trunc(qubits[k]);
            if (!std::isfinite(qubits[k]) || t < 0 || t >= static_cast<double>(out_.qubits)) {
                context_.fail(v, "operation " + quoted(name) + " acts on qubit " + number_text(qubits[k]) +
                                     ", outside [0, " + std::to_string(out_.qubits) + ")");
            }
            const unsigned long q = static_cast<unsigned long>(t);
            if (std::find(op.qubits.begin(), op.qubits.end(), q) != op.qubits.end())
                context_.fail(v, "operation " + quoted(name) + " acts on qubit " + std::to_string(q) + " more than once");
            op.qubits.push_back(q);
        }
        if (n == 1 && !params.empty()) {
            if (!std::isfinite(params[0]))
                context_.fail(v, "the angle of operation " + quoted(name) + " is " + number_text(params[0]));
            op.angle = angles::degrees_in_720(params[0]);
            op.hasAngle = true;
        }
        out_.ops.push_back(std::move(op));
    }

    // One call of the definition `name`, read inline (call_expander.h).
    void call(int call_vertex, const std::string& name, const std::vector<double>& qubits,
              const std::vector<double>& params) {
        const std::vector<int> body = calls_.body(call_vertex, name);
        if (context_.depth() == 0) check_expansion(name);
        calls_.expand(
            call_vertex, name, body, qubits, params, [this](int t) { return wires(t, g_.name(t)); },
            [this](int t, const std::vector<double>& mapped, const std::vector<double>& evaluated) {
                const std::string tname = g_.name(t);
                if (device_kind(g_, t) == vertex_kinds::CALL) {
                    call(t, tname, mapped, evaluated);
                } else {
                    gate(t, tname, mapped, evaluated);
                }
            });
    }

    // The qubits of vertex `v` as its wires carry them (ascending edge id),
    // after checking that the vertex can run on the device: no classical
    // condition, and a "qubits" list, where the vertex has one, that names
    // the same qubits in the same order (a qubit without a wire, say an
    // undeclared one, would otherwise drop out of the operation unnoticed).
    std::vector<double> wires(int v, const std::string& name) const {
        if (g_.has("cmp", v))
            context_.fail(v, "operation " + quoted(name) + " is classically conditioned; the NMR device runs no conditions");
        std::vector<double> carried = g_.in_edge_numbers("qubit", v);
        std::vector<double> listed = g_.numbers("qubits", v);
        if (!listed.empty() && listed != carried) {
            context_.fail(v, "operation \"" + name + "\" lists qubits " + list_text(listed) + " but its wires carry " +
                                 list_text(carried));
        }
        return carried;
    }

    // Refuses a call of `name` whose expansion would pass a limit before
    // expanding any of it: calls that multiply are refused at once rather
    // than after millions of vertices, or after building a task message the
    // device would never take.
    void check_expansion(const std::string& name) {
        expansion size;
        try {
            size = expansion_of(name);
        } catch (const std::exception&) {
            // A definition the count cannot read is left to the expansion,
            // which reports what is wrong.
            if (PyErr_Occurred()) PyErr_Clear();
            return;
        }
        if (static_cast<double>(calls_.expanded()) + size.vertices > call_limits::kMaxExpandedVertices) {
            throw std::invalid_argument("call of definition " + quoted(name) + ": the calls expand to more than " +
                                        std::to_string(call_limits::kMaxExpandedVertices) +
                                        " definition-body vertices");
        }
        const double before = static_cast<double>(out_.ops.size());
        const double bytes = (before + size.operations) * static_cast<double>(limits_.bytes_per_operation);
        if (bytes > static_cast<double>(limits_.line_bytes)) {
            const std::string earlier = before > 0 ? " after " + number_text(before) + " operations before it" : "";
            throw std::invalid_argument("call of definition " + quoted(name) + " expands to " +
                                        number_text(size.operations) + " device operations" + earlier +
                                        ": the task message would take at least " + number_text(bytes) +
                                        " bytes, over the device's line limit of " +
                                        std::to_string(limits_.line_bytes) + " bytes");
        }
    }

    // The expansion of a call of `name`. A definition that calls itself,
    // directly or not, counts as nothing here; its expansion refuses it.
    // Counting stops past the limit on expanded vertices.
    expansion expansion_of(const std::string& name) {
        auto known = sizes_.find(name);
        if (known != sizes_.end()) return known->second;
        if (std::find(counting_.begin(), counting_.end(), name) != counting_.end() ||
            counting_.size() >= kDeviceCalls.max_depth) {
            return {};
        }
        counting_.push_back(name);
        expansion size;
        for (int t : definitions_.body(context_, -1, name)) {
            size.vertices += 1;
            if (device_kind(g_, t) == vertex_kinds::CALL) {
                const expansion inner = expansion_of(g_.name(t));
                size.vertices += inner.vertices;
                size.operations += inner.operations;
            } else {
                const std::size_t carried = g_.in_edge_numbers("qubit", t).size();
                if (carried >= 1 && carried <= kMaxOperationQubits) size.operations += 1;
            }
            if (size.vertices > call_limits::kMaxExpandedVertices) break;
        }
        counting_.pop_back();
        sizes_[name] = size;
        return size;
    }

    const graph_reader& g_;
    const device_limits& limits_;
    call_context context_;
    definition_table definitions_;
    program::sub_circuit out_;
    call_expander calls_{g_, context_, definitions_, kDeviceCalls};
    std::map<std::string, expansion> sizes_;
    std::vector<std::string> counting_;  // definitions being counted, outermost first
};

// The vertices of the weakly connected components that hold a register
// declaration: the main circuit without definition bodies.
std::set<int> main_circuit(const graph_reader& g) {
    std::vector<int> seeds;
    for (int v = 0; v < g.vertex_count(); ++v) {
        if (vertex_kind(g.entry("type", v)) == vertex_kinds::REGISTER) seeds.push_back(v);
    }
    std::set<int> result;
    for (const std::set<int>& part : g.components_from(seeds)) result.insert(part.begin(), part.end());
    return result;
}

}  // namespace

program::sub_circuit read_device_program(const graph_reader& reader, const device_limits& limits) {
    const std::set<int> main = main_circuit(reader);
    const std::vector<int> order = reader.topological_order();
    const double count = reader.graph_number("qnum");
    if (count < 1) {
        program::sub_circuit none;
        none.qubit_numbers = program::numbering::graph;
        none.qubits = count <= INT_MIN ? INT_MIN : static_cast<int>(count);
        return none;
    }
    if (count > kMaxQubitCount) {
        throw std::invalid_argument("graph attribute \"qnum\" is " + number_text(count) +
                                    ", more qubits than any device has");
    }
    device_reader read(reader, limits, static_cast<int>(count));
    read.read(order, main);
    return read.take();
}

}  // namespace frontend
