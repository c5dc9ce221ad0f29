#include "ir/channels.h"

#include <cmath>
#include <complex>
#include <sstream>

namespace program {

unsigned kraus_channel::qubits() const {
    if (operators.empty()) return 0;
    unsigned m = 0;
    while ((std::size_t(1) << (2 * m)) < operators.front().size()) ++m;
    return m;
}

namespace channels {

namespace {

using cd = std::complex<double>;
using matrix = std::vector<cd>;

// As %g writes it: T1 = 5e-05 stays readable, where std::to_string gives 0.000050.
std::string number(double x) {
    std::ostringstream text;
    text << x;
    return text.str();
}

void requireProbability(double p, const std::string& what) {
    if (!std::isfinite(p) || p < 0 || p > 1) throw invalid_channel(what + " must be a probability in [0, 1], not " + number(p));
}

// The Pauli factor for one character.
matrix pauliFactor(char c) {
    switch (c) {
        case 'I': return {1.0, 0.0, 0.0, 1.0};
        case 'X': return {0.0, 1.0, 1.0, 0.0};
        case 'Y': return {0.0, cd(0, -1), cd(0, 1), 0.0};
        case 'Z': return {1.0, 0.0, 0.0, -1.0};
        default: throw invalid_channel(std::string("a Pauli string holds only I, X, Y and Z, not '") + c + "'");
    }
}

// a (x) b: a on the top bit.
matrix kron(const matrix& a, const matrix& b) {
    const std::size_t da = static_cast<std::size_t>(std::sqrt(a.size())), db = static_cast<std::size_t>(std::sqrt(b.size()));
    const std::size_t d = da * db;
    matrix out(d * d);
    for (std::size_t r = 0; r < d; ++r)
        for (std::size_t c = 0; c < d; ++c) out[r * d + c] = a[(r / db) * da + c / db] * b[(r % db) * db + c % db];
    return out;
}

matrix scaled(matrix m, double factor) {
    for (cd& e : m) e *= factor;
    return m;
}

matrix pauliString(const std::string& text) {
    matrix out{1.0};
    for (char c : text) out = kron(out, pauliFactor(c));
    return out;
}

}  // namespace

kraus_channel kraus(std::vector<matrix> operators) {
    if (operators.empty()) throw invalid_channel("a channel needs at least one Kraus operator");
    const std::size_t size = operators.front().size();
    std::size_t d = 0;
    for (std::size_t m = 1; m <= 2; ++m)
        if (size == (std::size_t(1) << (2 * m))) d = std::size_t(1) << m;
    if (d == 0) {
        throw invalid_channel("a Kraus operator acts on 1 or 2 qubits (4 or 16 entries), not " + std::to_string(size) +
                              " entries");
    }
    for (std::size_t k = 0; k < operators.size(); ++k) {
        if (operators[k].size() != size) {
            throw invalid_channel("Kraus operator " + std::to_string(k) + " has " + std::to_string(operators[k].size()) +
                                  " entries, operator 0 has " + std::to_string(size));
        }
        for (const cd& e : operators[k])
            if (!std::isfinite(e.real()) || !std::isfinite(e.imag()))
                throw invalid_channel("Kraus operator " + std::to_string(k) + " has an entry that is not finite");
    }
    for (std::size_t r = 0; r < d; ++r)
        for (std::size_t c = 0; c < d; ++c) {
            cd sum = 0.0;
            for (const matrix& k : operators)
                for (std::size_t i = 0; i < d; ++i) sum += std::conj(k[i * d + r]) * k[i * d + c];
            if (std::abs(sum - cd(r == c ? 1.0 : 0.0)) > kTraceTolerance) {
                throw invalid_channel("the Kraus operators do not keep the trace: entry (" + std::to_string(r) + ", " +
                                      std::to_string(c) + ") of sum K^dagger K is " + number(sum.real()) + " + " +
                                      number(sum.imag()) + "i, not " + (r == c ? "1" : "0"));
            }
        }
    kraus_channel out;
    out.operators = std::move(operators);
    return out;
}

kraus_channel pauli(const std::vector<std::pair<std::string, double>>& terms) {
    if (terms.empty()) throw invalid_channel("a Pauli channel needs at least one Pauli string");
    const std::size_t m = terms.front().first.size();
    if (m < 1 || m > kMaxQubits)
        throw invalid_channel("a Pauli channel acts on 1 or " + std::to_string(kMaxQubits) + " qubits, not " +
                              std::to_string(m));
    double identity = 1.0;
    std::vector<matrix> operators;
    for (const auto& [text, p] : terms) {
        if (text.size() != m) {
            throw invalid_channel("Pauli string \"" + text + "\" has " + std::to_string(text.size()) +
                                  " characters, the first has " + std::to_string(m));
        }
        requireProbability(p, "the probability of \"" + text + "\"");
        if (text.find_first_not_of('I') == std::string::npos) continue;  // the identity takes the rest
        identity -= p;
        if (p > 0) operators.push_back(scaled(pauliString(text), std::sqrt(p)));
    }
    if (identity < -kTraceTolerance) throw invalid_channel("the Pauli probabilities add up to more than 1");
    if (identity > 0) operators.insert(operators.begin(), scaled(pauliString(std::string(m, 'I')), std::sqrt(identity)));
    if (operators.empty()) operators.push_back(pauliString(std::string(m, 'I')));
    return kraus(std::move(operators));
}

kraus_channel depolarizing(double p, unsigned qubits) {
    if (qubits < 1 || qubits > kMaxQubits)
        throw invalid_channel("a depolarizing channel acts on 1 or " + std::to_string(kMaxQubits) + " qubits");
    const double strings = static_cast<double>(1UL << (2 * qubits));
    if (!std::isfinite(p) || p < 0 || p > strings / (strings - 1)) {
        throw invalid_channel("the depolarizing parameter must lie in [0, " + number(strings / (strings - 1)) +
                              "], not " + number(p));
    }
    std::vector<std::pair<std::string, double>> terms;
    const char letters[] = {'I', 'X', 'Y', 'Z'};
    for (unsigned long k = 1; k < (1UL << (2 * qubits)); ++k) {
        std::string text;
        for (unsigned j = 0; j < qubits; ++j) text += letters[(k >> (2 * (qubits - 1 - j))) & 3];
        terms.emplace_back(text, p / strings);
    }
    return pauli(terms);
}

kraus_channel amplitudeDamping(double gamma) {
    requireProbability(gamma, "the amplitude damping gamma");
    return kraus({{1.0, 0.0, 0.0, std::sqrt(1 - gamma)}, {0.0, std::sqrt(gamma), 0.0, 0.0}});
}

kraus_channel phaseDamping(double lambda) {
    requireProbability(lambda, "the phase damping lambda");
    return kraus({{1.0, 0.0, 0.0, std::sqrt(1 - lambda)}, {0.0, 0.0, 0.0, std::sqrt(lambda)}});
}

kraus_channel thermalRelaxation(double t1, double t2, double time) {
    if (!(t1 > 0) || !std::isfinite(t1)) throw invalid_channel("T1 must be positive and finite, not " + number(t1));
    if (!(t2 > 0) || !(t2 <= 2 * t1)) throw invalid_channel("T2 must lie in (0, 2 T1], not " + number(t2));
    if (!(time >= 0) || !std::isfinite(time)) throw invalid_channel("the gate time must be at least 0, not " + number(time));
    // Amplitude damping to exp(-time/T1), then the dephasing that brings the
    // coherences from its sqrt(1 - gamma) down to exp(-time/T2).
    const double gamma = 1 - std::exp(-time / t1);
    const double kept = std::exp(-2 * time / t2 + time / t1);  // 1 - lambda
    const double a = std::sqrt(1 - gamma), p = std::sqrt(std::min(1.0, kept)), l = std::sqrt(std::max(0.0, 1 - kept));
    return kraus({{1.0, 0.0, 0.0, a * p}, {0.0, std::sqrt(gamma), 0.0, 0.0}, {0.0, 0.0, 0.0, a * l}});
}

std::array<double, 4> readoutError(const std::vector<double>& probabilities) {
    if (probabilities.size() != 4) {
        throw invalid_channel("a readout error takes 2 rows of 2 probabilities (recording 0 and 1 for outcome 0, "
                              "then for outcome 1), not " + std::to_string(probabilities.size()) + " numbers");
    }
    std::array<double, 4> out{};
    for (std::size_t k = 0; k < 4; ++k) {
        requireProbability(probabilities[k], "a readout probability");
        out[k] = probabilities[k];
    }
    for (int t = 0; t < 2; ++t)
        if (std::abs(out[2 * t] + out[2 * t + 1] - 1) > kTraceTolerance)
            throw invalid_channel("the readout probabilities for outcome " + std::to_string(t) + " add up to " +
                                  number(out[2 * t] + out[2 * t + 1]) + ", not 1");
    return out;
}

}  // namespace channels
}  // namespace program
