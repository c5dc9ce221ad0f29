// The run of a dynamic circuit as a set of branch states, where the
// one-vector run would need a record qubit per reuse of a measured qubit.
//
// Measurements stay slices of each branch's vector (measurement_record.h)
// for as long as nothing acts on the measured qubit again. Once something
// does (a gate, a reset, another measurement), or a measurement or reset
// depends on a condition, the qubit is settled branch by branch:
// - when its outcome is certain in the branch (the other outcome has at most
//   kNegligible probability), the branch collapses in place: no new qubit,
//   no new branch;
// - otherwise the branch splits in two, one per outcome, each holding its
//   part of the amplitudes (unnormalised: a branch's squared norm is its
//   probability).
// A reset is the same split, with the |1> part flipped back to |0> (a
// density matrix: a channel, no split). A conditioned measurement or reset
// first settles the qubits its condition reads, so that each branch either
// satisfies it or not; so does a store, which then overwrites a classical
// bit in the branches that satisfy its condition. A branch holds a state vector or a density matrix
// (branch_spaces.h); density matrices also take channels, and their
// branches of one record always join into one.
//
// Memory is one vector per live branch (a split doubles only the branch
// whose outcome is uncertain, a record qubit every branch), each reserved in
// the process-wide budget before it is made.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/kernels/fused_matrix.h"
#include "engine/run/measurement_record.h"
#include "engine/fusion/op_list.h"
#include "engine/space/state_space.h"
#include "ir/program.h"
#include "simulator/branch/branch_spaces.h"
#include "simulator/branch/channel_draws.h"
#include "simulator/setup/simulator_options.h"
#include "core/memory_budget.h"

namespace branch_run {

// An outcome or a branch at most this likely is dropped: the results then
// miss at most this much probability per drop, far below what they report.
constexpr double kNegligible = 1e-20;

// A loop that still runs, with more than kNegligible probability, once its
// unrolled iterations are spent.
struct loop_limit_reached : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// `Space`: pure_states or density_states.
template <class Space>
class run {
public:
    // `sub` must outlive the run.
    run(const program::sub_circuit& sub, fusion_choice fusion);

    // Runs every op of the sub-circuit. Throws run_stopped when `keepGoing`
    // says stop, memory_budget::exceeded when the live branches would not
    // fit, run_refused for a qubit or bit the register does not have or a
    // channel where the branches are pure.
    void execute(const gates::keep_going& keepGoing = {});

    // Pure branches only: each channel draws one of its Kraus operators per
    // branch, with the probability it has there, instead of being refused
    // (one quantum trajectory; its results are unbiased estimates of the
    // density matrix's). The draws follow `seed`; `table` (made from the
    // same sub-circuit, outliving the run) says how each channel draws.
    void drawChannels(std::uint64_t seed, const channel_draws::draw_table& table);

    // The probability of every basis state of the register, summed over
    // the branches.
    std::vector<double> probabilities() const;
    // The probabilities over a few register qubits (the first listed the
    // top bit of the index), the others summed over.
    std::vector<double> marginal(const std::vector<unsigned long>& qubits) const;
    // The probability of each value of the classical bits `clbits`, keyed
    // one character per bit in the order given; values of no probability
    // are left out, nothing is rounded away.
    std::map<std::string, double> classical(const std::vector<int>& clbits) const;
    // The same probabilities added into `into` (2^clbits.size() entries,
    // the first listed bit the top bit of the index, so that index order is
    // the keys' order), and each index they reach appended to `reached`
    // (once per branch): a trajectory's result without a key per value.
    void addClassical(const std::vector<int>& clbits, std::vector<double>& into,
                      std::vector<std::size_t>& reached) const;
    // <O> of each observable (register qubit k is character k) over every
    // branch.
    std::vector<double> expectations(const std::vector<observable_spec>& specs) const;
    // The live branches, a vector each: what the run holds in memory.
    std::size_t branchCount() const { return branches_.size(); }
    // The final state vector when the branches are pure and the run neither
    // measured nor reset and never split; empty otherwise. Leaves the run
    // without its vector.
    state_space::state_vector takeStateVector();

private:
    using confusion = std::array<double, 4>;  // P(record r | outcome t) at [2 t + r]

    struct branch {
        state_space::state_vector state;
        measurement_record record;
        // The bits written by measurements with readout errors that still
        // read their qubit: the error is drawn once the outcome settles, or
        // folded into the classical results at the end.
        std::map<unsigned long, confusion> noisy;
        // What merge() read off `state` (its weight and signature), kept
        // for the next merge while nothing changes the state: most
        // branches of a long run sit untouched through many merges.
        double weight = kUnread;
        double signature = kUnread;
        bool operator==(const branch& other) const { return record == other.record && noisy == other.noisy; }
        // Called by everything that changes `state`.
        void touched() { weight = signature = kUnread; }
        static constexpr double kUnread = -1;  // neither a weight nor a signature is negative
    };

    void apply(const program::op& op);
    // Whether running `op` would change nothing at all: its condition holds
    // in no branch and reads no measured qubit, and it has nothing to
    // settle or flush first (so skipping it leaves even the fusion of the
    // queue as it was). The iterations a loop unrolls past its end are such
    // ops, one after another.
    bool actsNowhere(const program::op& op);
    // Skips `op` where it acts nowhere, keeping what running it would note.
    bool skipped(const program::op& op);
    // The records or the set of branches changed: what actsNowhere learnt
    // about them no longer holds, and branches may have become joinable.
    void recordsChanged();
    void queueGate(const program::op& op);
    void measure(const program::op& op);
    void reset(const program::op& op);
    // Writes the store's value into its bit in every branch that satisfies
    // its condition.
    void store(const program::op& op);
    // Queues a channel, or (under a condition) applies it to the branches
    // that satisfy the condition.
    void channel(const program::op& op);
    const gates::fused_matrix* superoperatorOf(const program::kraus_channel& channel,
                                               const std::vector<unsigned long>& qubits);
    // Density matrices: an unconditioned reset as the channel it is, queued.
    void queueReset(const program::op& op);
    // Applies to `b` one Kraus operator of `op`'s channel, drawn (see
    // drawChannels), scaled to keep the branch's weight. With `queue` (the
    // run holds `b` alone) the operator joins the queue, fused with the
    // gates around it; else it acts at once.
    void drawKraus(branch& b, const program::op& op, bool queue);
    // The queued ops as one run of `b`, its measurements written into its
    // record: gates (lifted to the branch's kind of state) and channels.
    std::vector<gates::compiled_gate> compileQueue(branch& b) const;
    // Refuses the run where the loop that `op` ends still goes on.
    void checkLoopEnded(const program::op& op);
    // Runs the queued ops on every branch.
    void flush();
    // Settles each listed qubit that some branch has measured (or the queue
    // measures): the queue runs first.
    void settleMeasured(const std::vector<unsigned long>& qubits);
    // Settles `qubit` in every branch that has measured it.
    void settle(unsigned long qubit);
    // Appends `part`, whose `qubit` has just settled on `outcome`, split on
    // the values its noisy bits `bits` record (those of more than
    // kNegligible probability).
    void recordNoisily(std::vector<branch>& out, branch part, const std::vector<unsigned long>& bits, bool outcome,
                       std::size_t live);
    // Notes which bits `op` (a measurement) writes with a readout error.
    void noteReadout(branch& b, const program::op& op, std::size_t i) const;
    // Settles the noisy bits the condition reads.
    void decideNoisy(const condition& c);
    // Joins branches that hold the same record and proportional states:
    // their mixture is one branch, of their summed probability.
    void merge();
    // Equal for branches that are == (record and noisy bits alike).
    static std::size_t hashOf(const branch& b);
    // Settles the qubits the condition reads, in every branch.
    void decide(const condition& c);
    // Settles, in every branch, each qubit that `qubitsOf` names for some branch.
    void settleEach(const std::function<std::vector<unsigned long>(const branch&)>& qubitsOf);
    // A copy of `from` for a split, once the budget has room for `live`
    // branches in all.
    branch copyOf(const branch& from, std::size_t live);
    // Appends to `out` the parts of `b` in which `qubit` reads 0 and 1,
    // those of more than kNegligible probability (a split when both are,
    // `live` branches then), each passed to finish(part, outcome) first.
    template <typename Finish>
    void split(std::vector<branch>& out, branch b, unsigned long qubit, std::size_t live, Finish finish);

    unsigned long qubits_;
    unsigned long clbits_;
    bool fuse_;
    const std::vector<program::op>& ops_;  // the sub-circuit's, which outlives the run
    std::vector<branch> branches_;
    op_list queued_;
    // Channels among the queued ops, each before the queued op at its index.
    std::vector<std::pair<std::size_t, const gates::fused_matrix*>> queuedChannels_;
    // Each channel's superoperator on its qubits, made once for the run.
    std::map<std::pair<const program::kraus_channel*, std::vector<unsigned long>>,
             std::unique_ptr<gates::fused_matrix>>
        superoperators_;
    std::vector<char> queuedMeasured_;  // per qubit: the queue measures it
    bool pure_ = true;                  // nothing measured or reset yet
    bool queueMeasures_ = false;        // the queue holds a measurement (records change at its flush)
    // Nothing has changed since the last merge but unitary gates, which
    // keep non-proportional states so: merging again would join nothing.
    bool joined_ = true;
    // Counts the changes to the records (recordsChanged); what actsNowhere
    // found is good for as long as the count stays.
    std::uint64_t recordsEpoch_ = 0;
    // Per condition met: the count it was read at, and whether it then
    // held in no branch (reading no measured qubit, no noisy bit).
    std::unordered_map<condition, std::pair<std::uint64_t, bool>, hash_condition> holdsNowhere_;
    // Per qubit: some branch has measured it (at measuredEpoch_).
    std::vector<char> measuredAnywhere_;
    std::uint64_t measuredEpoch_ = ~std::uint64_t{0};
    gates::keep_going keepGoing_;
    bool stopped_ = false;
    std::optional<std::mt19937_64> draws_;  // set by drawChannels
    const channel_draws::draw_table* drawTable_ = nullptr;
    // Drawn operators the queue applies (scaled to the state they were
    // drawn on), kept until it runs.
    std::vector<std::unique_ptr<gates::fused_matrix>> queuedDrawn_;
    // The budget held for the branches beyond the first (the caller holds
    // that one's), grown by doubling so that small branches count too.
    std::vector<memory_budget::reservation> room_;
    double roomBytes_ = 0;
};

}  // namespace branch_run
