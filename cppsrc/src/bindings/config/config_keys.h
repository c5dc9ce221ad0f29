// The keys each back end's configuration dict takes, and the refusal of any
// other: a misspelt key ("shot") was ignored, and the run went ahead with
// the default as if the caller had asked for it.
#pragma once

#include <string>
#include <vector>

namespace config_keys {

// Every key BasicSimulator.execute and kovra_backends.compile read.
const std::vector<std::string>& simulator();
// Every key NMR.execute reads.
const std::vector<std::string>& nmr();

// The refusal of `given` (its Python repr): the closest of `known` when one
// is close enough to be a slip of the keyboard, every one otherwise.
std::string unknown_key_message(const std::string& given_repr, const std::string& given,
                                const std::vector<std::string>& known);

// The fewest insertions, deletions, substitutions and swaps of neighbouring
// characters that turn `a` into `b`.
std::size_t edit_distance(const std::string& a, const std::string& b);

}  // namespace config_keys
