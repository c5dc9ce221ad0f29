// What the measurements of a run have written, when every measurement branch
// is a slice of one state vector.
//
// A measured qubit is never acted on again, so the projector of a
// measurement leaves the amplitudes of its outcome as they are and no later
// gate mixes two outcomes: the branch of outcomes o is exactly the set of
// basis indices whose measured qubits read o. A measurement therefore moves
// no amplitude; it only records which qubit was written into which classical
// bit. A classical bit reads the outcome of the last measurement written into
// it, and 0 where none was, so at every index the classical bits are a
// function of the measured qubits' bits there.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ir/circuit.h"
#include "engine/fusion/gate_runs.h"

class measurement_record {
public:
    measurement_record(unsigned long qubits, unsigned long clbits);

    bool isMeasured(unsigned long qubit) const { return measured[qubit]; }
    bool anyMeasured() const { return measuredCount > 0; }

    // Records a measurement of `qubit` into `clbit`. Throws run_refused
    // for a qubit or bit the run does not have.
    void measure(unsigned long qubit, unsigned long clbit);

    // The outcome of `qubit` is now `outcome` wherever it was read: each bit
    // reading it holds that value, and the qubit is no longer measured.
    void settle(unsigned long qubit, bool outcome);

    // Whether some branch satisfies the condition. Throws run_refused
    // when the condition names a bit the run does not have.
    bool satisfiable(const condition& c) const;

    // Appends `gate` confined to the branches that satisfy `c`: one copy per
    // block of satisfying outcomes, each with the measured qubits that fix
    // the block as extra controls (on 1 or on 0). The blocks are disjoint, so
    // the copies together act exactly once on every satisfying index.
    void confine(const gates::compiled_gate& gate, const condition& c, std::vector<gates::compiled_gate>& out) const;

    // The bits that read `qubit`'s outcome, ascending.
    std::vector<unsigned long> readers(unsigned long qubit) const;
    // Sets a bit that reads no qubit (a settled one) to `value`.
    void setSettled(unsigned long clbit, bool value);
    // Overwrites `clbit` with `value`: it stops reading any qubit. Throws
    // run_refused for a bit the run does not have.
    void store(unsigned long clbit, bool value);

    // The qubit whose outcome the classical bit reads, or NO_QUBIT.
    unsigned long source(unsigned long clbit) const;
    // The value of a bit no measured qubit writes: 0 unless a settled
    // outcome of 1 was written into it.
    bool settledOne(unsigned long clbit) const { return ones.count(clbit) != 0; }

    // The same qubits measured, each bit reading the same qubit or value.
    bool operator==(const measurement_record& other) const {
        return measured == other.measured && sources == other.sources && ones == other.ones;
    }
    // Equal for records that are ==, whatever order their tables hold
    // their entries in.
    std::size_t hash() const;

    // The distinct measured qubits the condition reads, in the order of
    // their first significant use (most significant first).
    std::vector<unsigned long> qubitsRead(const condition& c) const;

private:
    // For each assignment of `read` (its first qubit the top bit of the
    // assignment number), whether the condition holds.
    std::vector<char> truthTable(const condition& c, const std::vector<unsigned long>& read) const;

    unsigned long qubitNum;
    unsigned long clbitNum;
    std::vector<char> measured;
    unsigned long measuredCount = 0;
    // Only the bits written so far: a register may declare far more bits
    // than a run ever writes.
    std::unordered_map<unsigned long, unsigned long> sources;
    std::unordered_set<unsigned long> ones;  // bits holding a settled 1
};
