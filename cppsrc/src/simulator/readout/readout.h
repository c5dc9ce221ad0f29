// From the probabilities of the run's lanes (register qubits and record
// qubits) to what a result reports: the register qubits alone, or the values
// of classical bits.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace readout {

// Probabilities over the register qubits: qubit k of the result is lane
// lanes[k] of the run, every other lane summed over. Returned as they are
// when the lanes are the register itself.
std::vector<double> registerMarginal(std::vector<double> laneProbabilities, const std::vector<unsigned long>& lanes);

// Probabilities keyed by the values of classical bits, one character per
// bit, in the order given: bitLanes[c] is the lane whose outcome bit c
// reads, or a value >= laneCount for a bit nothing wrote (it reads 0).
// Keys and the last key's rounding correction as for the qubit keys.
std::map<std::string, double> clbitDistribution(const std::vector<double>& laneProbabilities,
                                                unsigned long laneCount,
                                                const std::vector<unsigned long>& bitLanes);

// The keys of `sums` (probabilities keyed by classical-bit values, nothing
// rounded away) as a result reports them: those above Result::kKeyFloor,
// the whole distribution's shortfall added to the greatest.
std::map<std::string, double> aboveFloor(const std::map<std::string, double>& sums);

}  // namespace readout
