// Expectation values of Pauli sums against the definition, term by term,
// on random states large enough to span several tiles.
#include <gtest/gtest.h>

#include <complex>
#include <random>
#include <vector>

#include "engine/space/pauli_sums.h"
#include "engine/fusion/run_stopped.h"

namespace {

using cd = std::complex<double>;

// <psi|P|psi> / <psi|psi> by applying P to every basis state.
double naive(const std::vector<cd>& psi, const pauli_sums::term& t) {
    cd sum = 0;
    double norm = 0;
    for (std::size_t i = 0; i < psi.size(); ++i) {
        cd phase = 1;
        for (unsigned long bit = 1; bit < psi.size(); bit <<= 1) {
            const bool one = i & bit;
            if (t.y & bit) phase *= one ? cd(0, -1) : cd(0, 1);
            if ((t.z & bit) && one) phase *= -1;
        }
        sum += std::conj(psi[i ^ (t.x | t.y)]) * phase * psi[i];
        norm += std::norm(psi[i]);
    }
    return t.coefficient * sum.real() / norm;
}

class PauliSums : public ::testing::TestWithParam<unsigned> {};

TEST_P(PauliSums, EveryTermAgreesWithItsDefinition) {
    std::mt19937_64 rng(GetParam());
    const unsigned n = 1 + GetParam() % 18;  // up to 18 qubits: several tiles
    std::normal_distribution<double> gauss;
    std::vector<cd> psi(std::size_t(1) << n);
    for (cd& a : psi) a = cd(gauss(rng), gauss(rng));
    std::vector<pauli_sums::observable> observables(3);
    std::vector<double> expected(3, 0.0);
    for (std::size_t o = 0; o < observables.size(); ++o) {
        for (int k = 0; k < 6; ++k) {
            pauli_sums::term t;
            for (unsigned long bit = 1; bit < psi.size(); bit <<= 1) {
                switch (rng() % 4) {
                    case 1: t.x |= bit; break;
                    case 2: t.y |= bit; break;
                    case 3: t.z |= bit; break;
                    default: break;
                }
            }
            t.coefficient = gauss(rng);
            observables[o].push_back(t);
            expected[o] += naive(psi, t);
        }
    }
    const std::vector<double> got = pauli_sums::expectations(psi, observables);
    for (std::size_t o = 0; o < observables.size(); ++o) EXPECT_NEAR(got[o], expected[o], 1e-10) << o;
}

INSTANTIATE_TEST_SUITE_P(Seeds, PauliSums, ::testing::Range(0u, 36u));

// A caller that may stop the sums is asked between stretches of terms; the
// stretches change no value, and a "stop" ends the sums.
TEST(PauliSumsAsked, StretchesKeepTheValuesAndAStopEndsThem) {
    constexpr unsigned kQubits = 18;  // 256 terms a stretch, 8 tile classes
    constexpr int kTerms = 3000;
    std::mt19937_64 rng(5);
    std::normal_distribution<double> gauss;
    std::vector<cd> psi(std::size_t(1) << kQubits);
    for (cd& a : psi) a = cd(gauss(rng), gauss(rng));
    std::vector<pauli_sums::observable> observables(2);
    for (int k = 0; k < kTerms; ++k) {
        pauli_sums::term t;
        t.x = rng() & (psi.size() - 1);
        t.z = rng() & (psi.size() - 1) & ~t.x;
        t.coefficient = gauss(rng);
        observables[k % 2].push_back(t);
    }
    int asked = 0;
    const std::vector<double> whole = pauli_sums::expectations(psi, observables);
    const std::vector<double> stretched = pauli_sums::expectations(psi, observables, [&] { return ++asked > 0; });
    EXPECT_GT(asked, 8);  // more than once per class
    for (std::size_t o = 0; o < whole.size(); ++o) EXPECT_DOUBLE_EQ(stretched[o], whole[o]) << o;
    EXPECT_THROW(pauli_sums::expectations(psi, observables, [] { return false; }), run_stopped);
}

}  // namespace
