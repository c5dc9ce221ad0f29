// Noise described by gate: channels that follow (or, for measurements,
// precede) the gates they are attached to, as a device's errors would.
// The configuration's "noise" list is read into a noise_model once
// (module/noise_config.cpp); each run then carries the channels as ops of its
// program, which only a density-matrix run takes exactly.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ir/program.h"

namespace noise {

struct rule {
    std::string label;               // how messages name the rule: "\"noise\" item 2"
    // Catalogue names, "MEASURE" or "RESET"; absent: every gate (an empty list: none).
    std::optional<std::vector<std::string>> gates;
    std::optional<std::vector<unsigned long>> qubits;  // only where the op acts on exactly these
    // The channel for an op on `qubits` qubits, or null where the rule's
    // channel fits no such op (a one-qubit channel then acts on each qubit).
    std::function<std::shared_ptr<const program::kraus_channel>(unsigned qubits)> channelFor;
    // A readout error instead of a channel: on the measurements of `qubits`
    // (one qubit), or of every qubit.
    std::optional<std::array<double, 4>> readout;
};

struct noise_model {
    std::vector<rule> rules;
    bool ideal() const { return rules.empty(); }  // no rule: the circuit runs as given
};

// The sub-circuit with the model's channels inserted: after each matching
// gate or reset, before each matching measurement, under the op's own
// condition. Throws std::invalid_argument naming the rule and the op where a
// channel fits neither the op's qubits nor each of them.
program::sub_circuit withNoise(const program::sub_circuit& sub, const noise_model& model);

// Whether any op is a channel.
bool hasChannels(const program::sub_circuit& sub);
// Whether any measurement has a readout error.
bool hasReadoutErrors(const program::sub_circuit& sub);

}  // namespace noise
