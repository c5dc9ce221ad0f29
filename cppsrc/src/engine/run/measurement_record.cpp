#include "engine/run/measurement_record.h"

#include "engine/run/bit_mix.h"
#include "engine/run/run_refused.h"

#include <algorithm>
#include <cstdint>
#include <exception>

namespace {

// Splits the assignments [begin, begin + size) into blocks on which the
// condition is constant, fixing one more qubit per level (`ones` counts the
// true entries before each assignment), and hands every all-true block to
// `emit` with the qubit positions fixed so far. Comparisons of a number
// with a value need few blocks this way: at most one per bit.
template <class Emit>
void coverBlocks(const std::vector<unsigned long>& ones, unsigned long begin, unsigned long size,
                 unsigned long depth, unsigned long fixedOnes, unsigned long fixedZeros,
                 const std::vector<unsigned long>& positions, Emit& emit) {
    const unsigned long trues = ones[begin + size] - ones[begin];
    if (trues == 0) return;
    if (trues == size) {
        emit(fixedOnes, fixedZeros);
        return;
    }
    const unsigned long half = size / 2, position = positions[depth];
    coverBlocks(ones, begin, half, depth + 1, fixedOnes, fixedZeros | position, positions, emit);
    coverBlocks(ones, begin + half, half, depth + 1, fixedOnes | position, fixedZeros, positions, emit);
}

// Summed per entry, so a record's hash does not depend on the order its
// maps hold their entries in.
std::size_t mixed(std::uint64_t x) { return static_cast<std::size_t>(bitMix(x)); }

}  // namespace

measurement_record::measurement_record(unsigned long qubits, unsigned long clbits)
    : qubitNum(qubits), clbitNum(clbits), measured(qubits, 0) {}

void measurement_record::measure(unsigned long qubit, unsigned long clbit) {
    if (qubit >= qubitNum || clbit >= clbitNum) throw run_refused();
    if (!measured[qubit]) ++measuredCount;
    measured[qubit] = 1;
    sources[clbit] = qubit;
    ones.erase(clbit);
}

void measurement_record::settle(unsigned long qubit, bool outcome) {
    if (qubit >= qubitNum || !measured[qubit]) return;
    measured[qubit] = 0;
    --measuredCount;
    for (auto at = sources.begin(); at != sources.end();) {
        if (at->second != qubit) {
            ++at;
            continue;
        }
        if (outcome) ones.insert(at->first);
        at = sources.erase(at);
    }
}

std::vector<unsigned long> measurement_record::readers(unsigned long qubit) const {
    std::vector<unsigned long> out;
    for (const auto& [bit, q] : sources)
        if (q == qubit) out.push_back(bit);
    std::sort(out.begin(), out.end());
    return out;
}

void measurement_record::setSettled(unsigned long clbit, bool value) {
    if (value)
        ones.insert(clbit);
    else
        ones.erase(clbit);
}

void measurement_record::store(unsigned long clbit, bool value) {
    if (clbit >= clbitNum) throw run_refused();
    sources.erase(clbit);
    setSettled(clbit, value);
}

unsigned long measurement_record::source(unsigned long clbit) const {
    const auto found = sources.find(clbit);
    return found == sources.end() ? NO_QUBIT : found->second;
}

std::vector<unsigned long> measurement_record::qubitsRead(const condition& c) const {
    const std::vector<unsigned long> bits = c.getClbits();
    for (unsigned long bit : bits)
        if (bit >= clbitNum) throw run_refused();
    std::vector<unsigned long> read;
    for (unsigned long bit : bits) {
        const unsigned long q = source(bit);
        if (q != NO_QUBIT && std::find(read.begin(), read.end(), q) == read.end()) read.push_back(q);
    }
    return read;
}

std::vector<char> measurement_record::truthTable(const condition& c, const std::vector<unsigned long>& read) const {
    const std::vector<unsigned long> bits = c.getClbits();
    // Where each listed bit finds its outcome in an assignment number.
    std::vector<int> shift;
    for (unsigned long bit : bits) {
        const unsigned long q = source(bit);
        const auto at = std::find(read.begin(), read.end(), q);
        shift.push_back(q == NO_QUBIT ? -1 : static_cast<int>(read.size() - 1 - (at - read.begin())));
    }
    std::vector<char> table(std::size_t(1) << read.size());
    std::vector<char> value(shift.size());  // as a branch forms it: first listed bit most significant
    for (unsigned long a = 0; a < table.size(); ++a) {
        for (std::size_t i = 0; i < shift.size(); ++i)
            value[i] = static_cast<char>(shift[i] >= 0 ? ((a >> shift[i]) & 1) != 0 : settledOne(bits[i]));
        table[a] = c.holds(value);
    }
    return table;
}

bool measurement_record::satisfiable(const condition& c) const {
    const std::vector<char> table = truthTable(c, qubitsRead(c));
    return std::find(table.begin(), table.end(), 1) != table.end();
}

void measurement_record::confine(const gates::compiled_gate& gate, const condition& c,
                                 std::vector<gates::compiled_gate>& out) const {
    const std::vector<unsigned long> read = qubitsRead(c);
    const std::vector<char> table = truthTable(c, read);
    std::vector<unsigned long> ones(table.size() + 1, 0);  // trues before each entry
    for (std::size_t a = 0; a < table.size(); ++a) ones[a + 1] = ones[a] + static_cast<unsigned long>(table[a]);
    std::vector<unsigned long> positions;  // bit positions of the read qubits, qubit 0 the top bit
    for (unsigned long q : read) positions.push_back(1UL << (qubitNum - 1 - q));
    auto emit = [&](unsigned long fixedOnes, unsigned long fixedZeros) {
        gates::compiled_gate confined = gate;
        confined.confined = true;
        confined.mask |= fixedOnes;
        confined.zeros |= fixedZeros;
        out.push_back(confined);
    };
    coverBlocks(ones, 0, table.size(), 0, 0, 0, positions, emit);
}

std::size_t measurement_record::hash() const {
    // The tables are unordered: their entries are summed, each mixed alone.
    std::size_t h = mixed(measuredCount);
    for (unsigned long q = 0; q < qubitNum; ++q)
        if (measured[q]) h += mixed(q + 1);
    for (const auto& [bit, q] : sources) h += mixed((std::uint64_t{bit} << 32) ^ q ^ 0x5bd1e995ULL);
    for (unsigned long bit : ones) h += mixed(~std::uint64_t{bit});
    return h;
}
