#include "graph/sub_circuit_reader.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/fusion/gate_runs.h"
#include "ir/gates.h"
#include "ir/angles.h"
#include "graph/call_limits.h"
#include "core/memory_budget.h"
#include "graph/vertex_kinds.h"

namespace frontend {

namespace {

// Number of qubits a catalogue gate acts on; 0 for MEASURE and unknown names.
int catalogue_arity(GATE_INDEX index) {
    if (index == GATE_INVALID || index == GATE_MEASURE) return 0;
    return static_cast<int>(gates::gateArity(index));
}

// What one op costs until the run starts: the op, the lane op placed from
// it, and the compiled gate (a conditioned gate may compile to several).
constexpr double kBytesPerOp = sizeof(program::op) + sizeof(lane_op) + 2 * sizeof(gates::compiled_gate);

}  // namespace

std::string number_text(double value) {
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<long long>(value));
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

std::optional<long> vertex_kind(const graph_attributes::py_ref& held) {
    PyObject* entry = held.get();
    if (entry == nullptr || entry == Py_None) return std::nullopt;
    if (PyFloat_Check(entry)) {
        double value = PyFloat_AS_DOUBLE(entry);
        if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e9) {
            return static_cast<long>(value);
        }
        return std::nullopt;
    }
    return graph_attributes::item_as_integer(entry);
}

sub_circuit_reader::sub_circuit_reader(const graph_attributes::graph_reader& reader, int qnum, int cnum)
    : reader_(reader), context_(reader), definitions_(reader) {
    if (qnum < 0 || qnum > kMaxQubits) {
        throw std::invalid_argument("cannot simulate " + std::to_string(qnum) +
                                    " qubits: the qubit count must lie between 0 and " + std::to_string(kMaxQubits));
    }
    if (cnum < 0) {
        throw std::invalid_argument("the classical bit count must not be negative (got " + std::to_string(cnum) + ")");
    }
    out_.qubits = qnum;
    out_.clbits = cnum;
}

program::sub_circuit sub_circuit_reader::take() {
    if (PyErr_Occurred()) throw pybind11::error_already_set();
    return std::move(out_);
}

void sub_circuit_reader::append(program::op op) {
    out_.ops.push_back(std::move(op));
    const double ops = static_cast<double>(out_.ops.size());
    if (ops < next_memory_check_) return;
    next_memory_check_ = std::max(4096.0, ops * 2);
    // Only a check: other runs are told of the run's memory when it reserves its vectors.
    memory_budget::reserve(ops * kBytesPerOp, "the program of " + number_text(ops) + " ops on " +
                                                  std::to_string(out_.qubits) + " qubits and the run's copies of it");
}

unsigned long sub_circuit_reader::local_index(int v, double graph_index, const index_map& map, const std::string& what,
                                              const std::string& invalid) {
    if (!std::isfinite(graph_index) || std::fabs(graph_index) >= 2147483648.0) {
        fail(v, what + " " + number_text(graph_index) + " is not a valid " + invalid);
    }
    int key = static_cast<int>(graph_index);
    auto found = map.find(key);
    if (found == map.end()) {
        context_.fail(v, std::string("uses ") + what + " " + std::to_string(key) + ", which no register declares",
                      vertex_error::fault::undeclared);
    }
    return found->second;
}

unsigned long sub_circuit_reader::local_qubit(int v, double graph_index) {
    return local_index(v, graph_index, qubits_, "qubit", "qubit index");
}

unsigned long sub_circuit_reader::local_clbit(int v, double graph_index) {
    return local_index(v, graph_index, clbits_, "classical bit", "index");
}

std::optional<long> sub_circuit_reader::kind_of(int v) {
    return vertex_kinds::kind_of_number(reader_.number("type", v, vertex_kinds::GATE));
}

void sub_circuit_reader::read_vertex(int v) {
    std::optional<long> kind = kind_of(v);
    if (kind == vertex_kinds::CALL) {
        if (read_free_angle(v)) {
            fail(v, "a call's \"params\" must be numbers: free parameters reach gates, not the functions of a "
                    "definition");
        }
        std::string callee = reader_.name(v);
        std::vector<double> qubits = reader_.numbers("qubits", v);
        std::vector<double> params = reader_.numbers("params", v);
        condition cond = local_condition(v);
        expand_call(v, callee, qubits, params, cond);
    } else if (kind == vertex_kinds::GATE) {
        read_gate_vertex(v);
    }
    // Register declarations are read up front, by declare_registers; other kinds are not ops.
}

wide_integer sub_circuit_reader::read_constant(int v) {
    const std::optional<std::string> binary = reader_.integer_binary("constant", v);
    wide_integer constant;
    const bool negative = binary && !binary->empty() && (*binary)[0] == '-';
    if (!binary || !wide_integer::from_binary(negative, binary->substr(negative ? 1 : 0), constant)) {
        fail(v, "\"constant\" " + number_text(reader_.number("constant", v, 0.0)) + " is not an integer");
    }
    return constant;
}

condition sub_circuit_reader::local_condition(int v) {
    if (!reader_.has("cmp", v)) return condition();
    double relation = reader_.number("cmp", v, 0.0);
    if (!std::isfinite(relation) || std::fabs(relation) > 1e9) {
        fail(v, "\"cmp\" " + number_text(relation) + " is not a relation");
    }
    const int r = static_cast<int>(relation);
    if (r < EQUAL || r > GREATER_EQUAL) {
        fail(v, "\"cmp\" is " + std::to_string(r) +
                    ", but a relation must lie between 0 (equal) and 5 (greater or equal)");
    }
    if (!reader_.has("constant", v)) {
        fail(v, "the gate is classically conditioned (\"cmp\") but has no \"constant\" to compare with");
    }
    const wide_integer constant = read_constant(v);
    std::vector<double> bits = reader_.in_edge_numbers("conbit", v);
    if (bits.empty()) {
        fail(v, "the gate is classically conditioned (\"cmp\") but no incoming edge carries \"conbit\"");
    }
    // The highest-numbered bit is the most significant one.
    std::sort(bits.begin(), bits.end());
    std::reverse(bits.begin(), bits.end());
    std::vector<unsigned long> list;
    for (double bit : bits) list.push_back(local_clbit(v, bit));
    return condition(list, static_cast<RELATION>(r), constant);
}

void sub_circuit_reader::read_gate(int v, const std::string& name, const std::vector<double>& graph_qubits,
                                   const std::vector<double>& params, const condition& cond, const free_angle* free) {
    if (name == "RESET") return read_reset(v, graph_qubits, cond);
    if (name == "KRAUS") fail(v, "a KRAUS vertex may not sit inside a definition's body");
    if (name == "STORE") fail(v, "a STORE vertex may not sit inside a definition's body (no classical bit to write)");
    GATE_INDEX index = gates::getGateIndex(name);
    if (index == GATE_INVALID) fail(v, "\"" + name + "\" is not a gate name");
    int arity = catalogue_arity(index);
    if (static_cast<int>(graph_qubits.size()) != arity) {
        fail(v, "gate " + name + " acts on " + std::to_string(arity) + " qubit" + (arity == 1 ? "" : "s") +
                    ", but \"qubits\" lists " + std::to_string(graph_qubits.size()));
    }
    program::op op;
    op.gate = index;
    for (double q : graph_qubits) op.qubits.push_back(local_qubit(v, q));
    for (std::size_t i = 0; i < op.qubits.size(); ++i) {
        for (std::size_t j = i + 1; j < op.qubits.size(); ++j) {
            if (op.qubits[i] == op.qubits[j]) {
                fail(v, "gate " + name + " lists qubit " + number_text(graph_qubits[j]) + " more than once");
            }
        }
    }
    if (free) {
        if (arity != 1) fail(v, "gate " + name + " takes no angle, but \"params\" names a free parameter");
        op.angle_terms = free->terms;
        op.angle_offset = free->offset;
        op.hasAngle = true;
    } else if (arity == 1 && !params.empty()) {
        if (!std::isfinite(params[0])) {
            fail(v, "parameter " + number_text(params[0]) + " of gate " + name + " is not a finite angle");
        }
        op.angle = angles::degrees_in_720(params[0]);
        op.angle_offset = params[0];
        op.hasAngle = true;
    } else if (gates::takesAngle(index)) {
        fail(v, "gate " + name + " needs an angle in \"params\"");
    }
    op.cond = cond;
    append(std::move(op));
}

void sub_circuit_reader::read_gate_vertex(int v) {
    std::string name = reader_.name(v);
    std::vector<double> qubits = reader_.numbers("qubits", v);
    std::optional<free_angle> free = read_free_angle(v);
    // A combination of no parameter is its constant, an ordinary angle.
    std::vector<double> params = !free ? reader_.numbers("params", v) : std::vector<double>{free->offset};
    if (free && free->terms.empty()) free.reset();
    condition cond = local_condition(v);
    // The first qubit must be declared whatever the vertex turns out to be.
    if (!qubits.empty()) local_qubit(v, qubits[0]);
    if (name == "LOOP_LIMIT") return read_loop_limit(v, cond);
    if (name == "KRAUS") return read_kraus(v, qubits, cond);
    if (name == "STORE") return read_store(v, qubits, cond);
    if (name != "MEASURE") return read_gate(v, name, qubits, free ? std::vector<double>{} : params, cond,
                                            free ? &*free : nullptr);
    if (qubits.empty()) fail(v, "the measurement lists no qubits in \"qubits\"");
    read_measure(v, qubits, cond);
}

void sub_circuit_reader::expand_call(int call_vertex, const std::string& callee, const std::vector<double>& qubits,
                                     const std::vector<double>& params, const condition& caller_condition) {
    const std::vector<int> body = calls_.body(call_vertex, callee);
    calls_.expand(
        call_vertex, callee, body, qubits, params, [this](int w) { return reader_.numbers("qubits", w); },
        [&](int w, const std::vector<double>& mapped, const std::vector<double>& evaluated) {
            const std::string name = reader_.name(w);
            const condition cond = caller_condition.isValid() ? caller_condition : local_condition(w);
            // Anything but a call, a missing type included, runs as a gate.
            if (kind_of(w) == vertex_kinds::CALL) {
                expand_call(w, name, mapped, evaluated, cond);
            } else {
                if (name == "MEASURE") fail(w, "a definition body cannot measure (no classical bit to write)");
                read_gate(w, name, mapped, evaluated, cond);
            }
        });
}

}  // namespace frontend
