// Register declarations: a vertex whose "name" is a letter and
// "<first index>_<size>" ("q0_3": qubits 0 to 2) declares graph-level
// indices, which the reader renumbers densely, lowest first index first.
#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "graph/sub_circuit_reader.h"
#include "graph/vertex_kinds.h"

namespace frontend {

namespace {

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

sub_circuit_reader::register_label sub_circuit_reader::read_register(int v) {
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
        fail(v, "register label \"" + label + "\" is not a letter followed by <first index>_<size> (for example q0_3)");
    }
    return {v, label, *first, *size};
}

void sub_circuit_reader::declare_registers(const std::vector<int>& order) {
    std::vector<register_label> found;
    for (int v : order) {
        if (v < 0 || v >= reader_.vertex_count()) {
            throw std::out_of_range("vertex " + std::to_string(v) + " is not in the graph");
        }
    }
    for (int v : order) {
        if (kind_of(v) == vertex_kinds::REGISTER) found.push_back(read_register(v));
    }
    // Local numbers follow the graph-level ones: the keys then read in graph
    // qubit order however the sub-circuits are concatenated.
    std::stable_sort(found.begin(), found.end(),
                     [](const register_label& a, const register_label& b) { return a.first < b.first; });
    for (const register_label& r : found) declare_register(r);
}

void sub_circuit_reader::declare_register(const register_label& r) {
    const int v = r.vertex;
    const std::string& label = r.label;
    const long long first = r.first, size = r.size;
    if (size <= 0) return;
    bool quantum = label[0] == 'q';
    unsigned long& counter = quantum ? qubit_counter_ : clbit_counter_;
    long long limit = quantum ? out_.qubits : out_.clbits;
    if (static_cast<long long>(counter) + size > limit) {
        fail(v, "register \"" + label + "\" declares " + std::to_string(size) +
                    (quantum ? " qubits" : " classical bits") + " after " + std::to_string(counter) +
                    " already declared, but the circuit has only " + std::to_string(limit) +
                    (quantum ? " qubits (graph attribute \"qnum\")" : " classical bits (graph attribute \"cnum\")"));
    }
    if (first < INT_MIN || first + size - 1 > INT_MAX) {
        fail(v, "register \"" + label + "\" declares indices outside the 32-bit range");
    }
    index_map& map = quantum ? qubits_ : clbits_;
    for (long long j = 0; j < size; ++j) map[static_cast<int>(first + j)] = counter + static_cast<unsigned long>(j);
    counter += static_cast<unsigned long>(size);
}

}  // namespace frontend
