#include "bindings/config/config_keys.h"

#include <algorithm>
#include <numeric>

namespace config_keys {

namespace {

// A key this many edits from a known one, for each this many characters of
// it, reads as a slip ("shot", "mqubit", "seeds"); further off, the caller
// meant something else and gets the list.
constexpr std::size_t kCharactersPerEdit = 3;

}  // namespace

const std::vector<std::string>& simulator() {
    static const std::vector<std::string> keys = {
        "shots",       "mqubits",     "mcbits",    "parallel",      "print_circuit", "fusion",
        "local_state", "observables", "precision", "measure_reuse", "method",        "noise",
        "trajectories", "seed", "probabilities", "memory"};
    return keys;
}

const std::vector<std::string>& nmr() {
    static const std::vector<std::string> keys = {"ip",        "port",  "username",      "password", "task_name",
                                                  "task_desc", "shots", "print_circuit", "timeout",  "mqubits"};
    return keys;
}

std::size_t edit_distance(const std::string& a, const std::string& b) {
    // Three rows of the table suffice: a swap looks two rows back.
    std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
    std::iota(previous.begin(), previous.end(), std::size_t{0});
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                current[j] = std::min(current[j], before[j - 2] + 1);
        }
        before.swap(previous);
        previous.swap(current);
    }
    return previous[b.size()];
}

std::string unknown_key_message(const std::string& given_repr, const std::string& given,
                                const std::vector<std::string>& known) {
    const std::string opening = given_repr + " is not a configuration key; ";
    const std::string* closest = nullptr;
    std::size_t best = std::max<std::size_t>(1, given.size() / kCharactersPerEdit) + 1;
    for (const std::string& key : known) {
        const std::size_t d = edit_distance(given, key);
        if (d < best) best = d, closest = &key;
    }
    if (closest) return opening + "did you mean '" + *closest + "'?";
    std::vector<std::string> sorted = known;
    std::sort(sorted.begin(), sorted.end());
    std::string listed;
    for (const std::string& key : sorted) listed += (listed.empty() ? "'" : ", '") + key + "'";
    return opening + "the keys are " + listed;
}

}  // namespace config_keys
