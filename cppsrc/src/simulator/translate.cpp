#include <algorithm>
#include <climits>
#include <cmath>
#include <set>
#include <stdexcept>
#include <string>

#include "engine/gates.h"
#include "simulator/basic_simulator.h"
#include "simulator/lowering.h"
#include "util/angles.h"
#include "util/memory_budget.h"
#include "util/vertex_kinds.h"

namespace lowering {

namespace {

constexpr const char* kKeyNotFound = "unordered_map::at: key not found";

// Number of qubits a catalogue gate acts on; 0 for MEASURE and unknown names.
int catalogue_arity(GATE_INDEX index) {
    if (index == GATE_INVALID || index == GATE_MEASURE) return 0;
    return static_cast<int>(gates::gateArity(index));
}

// Parses a decimal integer with an optional sign; nothing else.
std::optional<long long> parse_integer(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (i == text.size() || text.size() > 12) return std::nullopt;
    for (std::size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return std::nullopt;
    }
    return std::stoll(text);
}

}  // namespace

std::string number_text(double value) {
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<long long>(value));
    }
    return std::to_string(value);
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

translation::translation(const graph_attributes::graph_reader& reader, int qnum, int cnum)
    : reader_(reader), qnum_(qnum), cnum_(cnum) {
    if (qnum < 0 || qnum > BasicSimulator::kMaxQubits) {
        throw std::invalid_argument("cannot simulate " + std::to_string(qnum) +
                                    " qubits: the qubit count must lie between 0 and " +
                                    std::to_string(BasicSimulator::kMaxQubits));
    }
    if (cnum < 0) {
        throw std::invalid_argument("the classical bit count must not be negative (got " +
                                    std::to_string(cnum) + ")");
    }
    lanes_.resize(static_cast<std::size_t>(qnum));
    touched_.assign(lanes_.size(), 0);
    for (unsigned long q = 0; q < lanes_.size(); ++q) current_.push_back(q);
}

std::string translation::where(int v) {
    std::string text = "vertex " + std::to_string(v);
    graph_attributes::py_ref name = reader_.entry("name", v);
    if (name && PyUnicode_Check(name.get())) {
        const char* utf8 = PyUnicode_AsUTF8(name.get());
        if (utf8 != nullptr) {
            text += " (" + std::string(utf8) + ")";
        } else {
            PyErr_Clear();
        }
    }
    if (!calls_.empty()) {
        text += " in definition \"" + calls_.back().second + "\" called from vertex " +
                std::to_string(calls_.back().first);
    }
    return text;
}

namespace {

// Messages become Python str: bytes of a name that are not UTF-8 show as
// \xNN rather than turning the report into a UnicodeDecodeError.
std::string printable(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                             "backslashreplace");
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

void translation::fail(int v, const std::string& what) {
    throw std::runtime_error(printable(where(v) + ": " + what));
}

unsigned long translation::local_index(int v, double graph_index, const index_map& map,
                                       const std::string& what, const std::string& invalid) {
    if (!std::isfinite(graph_index) || std::fabs(graph_index) >= 2147483648.0) {
        fail(v, what + " " + number_text(graph_index) + " is not a valid " + invalid);
    }
    int key = static_cast<int>(graph_index);
    auto found = map.find(key);
    if (found == map.end()) {
        throw std::out_of_range(std::string(kKeyNotFound) + ": " + where(v) + " uses " + what + " " +
                                std::to_string(key) + ", which no register declares");
    }
    return found->second;
}

unsigned long translation::local_qubit(int v, double graph_index) {
    return local_index(v, graph_index, qubits_, "qubit", "qubit index");
}

unsigned long translation::local_clbit(int v, double graph_index) {
    return local_index(v, graph_index, clbits_, "classical bit", "index");
}

translation::register_label translation::read_register(int v) {
    std::string label = reader_.name(v);
    // One leading character, then "<first index>_<size>".
    std::vector<std::string> parts;
    std::string part;
    for (std::size_t i = 1; i <= label.size(); ++i) {
        if (i == label.size() || label[i] == '_') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += label[i];
        }
    }
    std::optional<long long> first, size;
    if (parts.size() == 2) {
        first = parse_integer(parts[0]);
        size = parse_integer(parts[1]);
    }
    if (!first || !size) {
        fail(v, "register label \"" + label +
                    "\" is not a letter followed by <first index>_<size> (for example q0_3)");
    }
    return {v, label, *first, *size};
}

void translation::declare_registers(const std::vector<int>& order) {
    std::vector<register_label> found;
    for (int v : order) {
        if (kind_of(v) == vertex_kinds::REGISTER) found.push_back(read_register(v));
    }
    // Local numbers follow the graph-level ones: the keys then read in graph
    // qubit order however the sub-circuits are concatenated.
    std::stable_sort(found.begin(), found.end(),
                     [](const register_label& a, const register_label& b) { return a.first < b.first; });
    for (const register_label& r : found) declare_register(r);
}

void translation::declare_register(const register_label& r) {
    const int v = r.vertex;
    const std::string& label = r.label;
    const long long first = r.first, size = r.size;
    if (size <= 0) return;
    bool quantum = label[0] == 'q';
    unsigned long& counter = quantum ? qubit_counter_ : clbit_counter_;
    long long limit = quantum ? qnum_ : cnum_;
    if (static_cast<long long>(counter) + size > limit) {
        fail(v, "register \"" + label + "\" declares " + std::to_string(size) +
                    (quantum ? " qubits" : " classical bits") + " after " +
                    std::to_string(counter) + " already declared, but the circuit has only " +
                    std::to_string(limit) +
                    (quantum ? " qubits (graph attribute \"qnum\")"
                             : " classical bits (graph attribute \"cnum\")"));
    }
    if (first < INT_MIN || first + size - 1 > INT_MAX) {
        fail(v, "register \"" + label + "\" declares indices outside the 32-bit range");
    }
    index_map& map = quantum ? qubits_ : clbits_;
    for (long long j = 0; j < size; ++j) {
        map[static_cast<int>(first + j)] = counter + static_cast<unsigned long>(j);
    }
    counter += static_cast<unsigned long>(size);
}

std::optional<long> translation::kind_of(int v) {
    double kind = reader_.number("type", v, vertex_kinds::GATE);
    if (!std::isfinite(kind) || std::fabs(kind) > 1e9) return std::nullopt;
    return static_cast<long>(kind);
}

int translation::lower_vertex(int v) {
    std::optional<long> kind = kind_of(v);
    int layer = 0;
    if (!kind) return 0;
    switch (*kind) {
        case vertex_kinds::REGISTER:  // declared up front, by declare_registers
            break;
        case vertex_kinds::CALL: {
            std::string callee = reader_.name(v);
            std::vector<double> qubits = reader_.numbers("qubits", v);
            std::vector<double> params = reader_.numbers("params", v);
            condition cond = local_condition(v);
            layer = expand_caller(v, callee, qubits, params, cond, 1);
            break;
        }
        case vertex_kinds::GATE:
            layer = lower_gate_vertex(v);
            break;
        default:
            break;
    }
    highest_layer_ = std::max(highest_layer_, layer);
    return layer;
}

wide_integer translation::read_constant(int v) {
    const std::optional<std::string> binary = reader_.integer_binary("constant", v);
    wide_integer constant;
    const bool negative = binary && !binary->empty() && (*binary)[0] == '-';
    if (!binary || !wide_integer::from_binary(negative, binary->substr(negative ? 1 : 0), constant)) {
        fail(v, "\"constant\" " + number_text(reader_.number("constant", v, 0.0)) + " is not an integer");
    }
    return constant;
}

translation::condition_parts translation::read_condition(int v, int relation) {
    if (relation < EQUAL || relation > GREATER_EQUAL) {
        fail(v, "\"cmp\" is " + std::to_string(relation) +
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
    return {bits, static_cast<RELATION>(relation), constant};
}

condition translation::local_condition(int v) {
    if (!reader_.has("cmp", v)) return condition();
    double relation = reader_.number("cmp", v, 0.0);
    if (!std::isfinite(relation) || std::fabs(relation) > 1e9) {
        fail(v, "\"cmp\" " + number_text(relation) + " is not a relation");
    }
    condition_parts parts = read_condition(v, static_cast<int>(relation));
    std::vector<unsigned long> list;
    for (double bit : parts.bits) list.push_back(local_clbit(v, bit));
    return condition(list, parts.relation, parts.value);
}

int translation::lower_reset(int v, const std::vector<double>& graph_qubits, const condition& cond) {
    if (graph_qubits.empty()) fail(v, "the reset lists no qubits in \"qubits\"");
    if (cond.isValid()) fail(v, "a reset cannot be classically conditioned");
    std::vector<unsigned long> local;
    for (std::size_t i = 0; i < graph_qubits.size(); ++i) {
        unsigned long q = local_qubit(v, graph_qubits[i]);
        if (std::find(local.begin(), local.end(), q) != local.end()) {
            fail(v, "the reset lists qubit " + number_text(graph_qubits[i]) + " more than once");
        }
        local.push_back(q);
    }
    for (unsigned long q : local) place_reset(q);
    return 0;
}

int translation::lower_gate(int v, const std::string& name,
                            const std::vector<double>& graph_qubits,
                            const std::vector<double>& params, const condition& cond) {
    if (name == "RESET") return lower_reset(v, graph_qubits, cond);
    GATE_INDEX index = gates::getGateIndex(name);
    if (index == GATE_INVALID) fail(v, "\"" + name + "\" is not a gate name");
    int arity = catalogue_arity(index);
    if (static_cast<int>(graph_qubits.size()) != arity) {
        fail(v, "gate " + name + " acts on " + std::to_string(arity) + " qubit" +
                    (arity == 1 ? "" : "s") + ", but \"qubits\" lists " +
                    std::to_string(graph_qubits.size()));
    }
    std::vector<unsigned long> local;
    for (double q : graph_qubits) local.push_back(local_qubit(v, q));
    for (std::size_t i = 0; i < local.size(); ++i) {
        for (std::size_t j = i + 1; j < local.size(); ++j) {
            if (local[i] == local[j]) {
                fail(v, "gate " + name + " lists qubit " + number_text(graph_qubits[j]) +
                            " more than once");
            }
        }
    }
    std::optional<double> angle;
    if (arity == 1 && !params.empty()) {
        if (!std::isfinite(params[0])) {
            fail(v, "parameter " + number_text(params[0]) + " of gate " + name +
                        " is not a finite angle");
        }
        angle = angles::degrees_in_720(params[0]);
    } else if (gates::takesAngle(index)) {
        fail(v, "gate " + name + " needs an angle in \"params\"");
    }
    return place_gate(name, local, angle, cond);
}

int translation::lower_gate_vertex(int v) {
    std::string name = reader_.name(v);
    std::vector<double> qubits = reader_.numbers("qubits", v);
    std::vector<double> params = reader_.numbers("params", v);
    condition cond = local_condition(v);
    // The first qubit must be declared whatever the vertex turns out to be.
    if (!qubits.empty()) local_qubit(v, qubits[0]);
    if (name != "MEASURE") return lower_gate(v, name, qubits, params, cond);

    if (qubits.empty()) fail(v, "the measurement lists no qubits in \"qubits\"");
    if (cond.isValid()) fail(v, "a measurement cannot be classically conditioned");
    std::vector<double> targets = reader_.in_edge_numbers("clbit", v);
    if (targets.size() < qubits.size()) {
        fail(v, "the measurement lists " + std::to_string(qubits.size()) +
                    " qubits but its incoming edges carry only " + std::to_string(targets.size()) +
                    " \"clbit\" values");
    }
    std::vector<unsigned long> local_qubits, local_clbits;
    for (std::size_t i = 0; i < qubits.size(); ++i) {
        unsigned long q = local_qubit(v, qubits[i]);
        if (std::find(local_qubits.begin(), local_qubits.end(), q) != local_qubits.end()) {
            fail(v, "the measurement lists qubit " + number_text(qubits[i]) + " more than once");
        }
        local_qubits.push_back(q);
        local_clbits.push_back(local_clbit(v, targets[i]));
    }
    return place_measure(local_qubits, local_clbits);
}

void translation::pad(unsigned long q, std::size_t length) {
    std::vector<gate_unit>& lane = lanes_[q];
    while (lane.size() < length) lane.push_back(gate_unit(std::string("I"), q));
}

int translation::place_gate(const std::string& name, const std::vector<unsigned long>& register_qubits,
                            std::optional<double> angle, const condition& cond) {
    std::vector<unsigned long> qubits;
    for (unsigned long q : register_qubits) qubits.push_back(lane_for_use(q));
    gate_unit record;
    if (qubits.size() == 1) {
        record = angle ? gate_unit(name, qubits[0], *angle) : gate_unit(name, qubits[0]);
    } else if (qubits.size() == 2) {
        record = gate_unit(name, qubits[0], qubits[1]);
    } else {
        record = gate_unit(name, qubits[0], qubits[1], qubits[2]);
    }
    if (cond.isValid()) record.setCondition(cond);

    std::size_t layer = 0;
    for (unsigned long q : qubits) layer = std::max(layer, lanes_[q].size());
    check_layer_memory(layer);
    // A later measurement of a bit this gate reads must not overtake it.
    for (unsigned long bit : cond.getClbits()) {
        std::size_t& read = last_read_[bit];
        read = std::max(read, layer + 1);
    }
    // The record goes into the first lane already at the layer.
    std::size_t holder = 0;
    while (lanes_[qubits[holder]].size() != layer) ++holder;
    for (std::size_t k = 0; k < qubits.size(); ++k) {
        touched_[qubits[k]] = 1;
        if (k == holder) {
            lanes_[qubits[k]].push_back(record);
        } else {
            pad(qubits[k], layer);
            lanes_[qubits[k]].push_back(gate_unit(GATE_INVALID, qubits[k]));
        }
    }
    return static_cast<int>(layer);
}

int translation::place_measure(const std::vector<unsigned long>& register_qubits,
                               const std::vector<unsigned long>& clbits) {
    std::vector<unsigned long> qubits;
    for (unsigned long q : register_qubits) qubits.push_back(lane_for_use(q));
    std::size_t h = 0;
    for (unsigned long q : qubits) h = std::max(h, lanes_[q].size());
    // A bit is written only after every conditioned gate placed before has
    // read it.
    for (unsigned long bit : clbits) {
        auto read = last_read_.find(bit);
        if (read != last_read_.end()) h = std::max(h, read->second);
    }
    for (std::size_t i = 0; i < qubits.size(); ++i) {
        pad(qubits[i], h);
        gate_unit record(std::string("MEASURE"), qubits[i]);
        record.setClbitTarget(clbits[i]);
        lanes_[qubits[i]].push_back(record);
        touched_[qubits[i]] = 1;
        measured_at_[qubits[i]] = h;
    }
    for (unsigned long q = 0; q < lanes_.size(); ++q) pad(q, h + 1);
    barrier_ = h + 1;
    check_layer_memory(h);
    return static_cast<int>(h);
}

unsigned long translation::new_lane() {
    if (lanes_.size() >= static_cast<std::size_t>(BasicSimulator::kMaxQubits)) {
        throw std::invalid_argument("cannot simulate " + std::to_string(qnum_) + " qubits with " +
                                    std::to_string(reuses() + 1) +
                                    " or more reuses of measured or reset qubits: each adds a record qubit, "
                                    "and a state vector addresses at most " +
                                    std::to_string(BasicSimulator::kMaxQubits) + " qubits");
    }
    lanes_.emplace_back();
    touched_.push_back(0);
    return lanes_.size() - 1;
}

void translation::insert_layer(std::size_t at) {
    for (unsigned long q = 0; q < lanes_.size(); ++q) {
        std::vector<gate_unit>& lane = lanes_[q];
        if (lane.size() > at) lane.insert(lane.begin() + static_cast<long>(at), gate_unit(std::string("I"), q));
    }
    for (auto& entry : measured_at_)
        if (entry.second >= at) ++entry.second;
    for (auto& entry : last_read_)
        if (entry.second > at) ++entry.second;
    if (barrier_ > at) ++barrier_;
    ++highest_layer_;
}

unsigned long translation::lane_for_use(unsigned long q) {
    const unsigned long lane = current_[q];
    const auto measured = measured_at_.find(lane);
    if (measured == measured_at_.end()) return lane;
    // The copy of the outcome goes just before the measurement, in a layer
    // of its own, while the measured lane may still be acted on.
    const std::size_t at = measured->second;
    insert_layer(at);
    const unsigned long fresh = new_lane();
    pad(fresh, at);
    lanes_[lane][at] = gate_unit(std::string("CNOT"), lane, fresh);
    lanes_[fresh].push_back(gate_unit(GATE_INVALID, fresh));
    pad(fresh, barrier_);
    touched_[fresh] = 1;
    current_[q] = fresh;
    return fresh;
}

void translation::place_reset(unsigned long q) {
    const unsigned long lane = current_[q];
    if (!touched_[lane]) return;  // still |0>
    const unsigned long fresh = new_lane();
    pad(fresh, barrier_);  // later conditioned gates on it still follow every measurement
    current_[q] = fresh;
}

void translation::check_layer_memory(std::size_t layer) {
    const double layers = static_cast<double>(std::max<std::size_t>(layer, highest_layer_)) + 1;
    const double records = layers * static_cast<double>(lanes_.size());
    if (records < next_memory_check_) return;
    next_memory_check_ = records * 1.25;
    // Only a check: the lanes are already taken, the copies still to come are
    // not, and other runs are told of them when this one reserves its vectors.
    memory_budget::reserve(2 * records * sizeof(gate_unit),
                           "the lowered circuit of " + number_text(layers) + " layers on " +
                               std::to_string(lanes_.size()) + " qubits and the run's copy of it");
}

circuit translation::assemble() {
    next_memory_check_ = 0;
    check_layer_memory(static_cast<std::size_t>(highest_layer_));
    // A measured lane only ever gets "I" after its measurement (a later use
    // moves to a fresh lane), and the layers leave it out.
    std::vector<circuit_unit> layers;
    std::set<unsigned long> measured;
    for (std::size_t i = 0; i <= static_cast<std::size_t>(highest_layer_); ++i) {
        std::vector<gate_unit> layer;
        for (unsigned long q = 0; q < lanes_.size(); ++q) {
            const std::vector<gate_unit>& lane = lanes_[q];
            if (measured.count(q)) continue;
            if (lane.size() < i + 1) {
                layer.push_back(gate_unit(std::string("I"), q));
            } else {
                const gate_unit& entry = lane[i];
                if (entry.getGateIndex() != GATE_INVALID) layer.push_back(entry);
                if (entry.getGateName() == "MEASURE") measured.insert(q);
            }
        }
        layers.push_back(circuit_unit(layer));
    }
    return circuit(layers, static_cast<unsigned long>(cnum_));
}

}  // namespace lowering

BasicSimulator::lowered_circuit BasicSimulator::lower(const igraph_t* graph, std::vector<int>& order,
                                                     int qnum, int cnum) {
    graph_attributes::graph_reader reader(graph);
    lowering::translation lowering(reader, qnum, cnum);
    for (int v : order) {
        if (v < 0 || v >= reader.vertex_count()) {
            throw std::out_of_range("vertex " + std::to_string(v) + " is not in the graph");
        }
    }
    lowering.declare_registers(order);
    for (int v : order) lowering.lower_vertex(v);
    lowered_circuit result{lowering.assemble(), lowering.final_lanes(), lowering.reuses()};
    if (PyErr_Occurred()) throw py::error_already_set();
    return result;
}

circuit BasicSimulator::translate(const igraph_t* graph, std::vector<int>& order, int qnum,
                                  int cnum) {
    return lower(graph, order, qnum, cnum).gates;
}
