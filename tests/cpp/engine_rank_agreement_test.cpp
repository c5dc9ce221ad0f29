// What the ranks of a job conclude from each other's verdicts before a run:
// jobs of many ranks, which the MPI tests (two ranks) cannot show.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "comm/rank_agreement.h"

using rank_comm::rank_verdict;

namespace {

std::string refusal(const std::vector<rank_verdict>& verdicts) {
    try {
        rank_agreement::settle(verdicts);
    } catch (const rank_agreement::rank_failed& e) {
        return std::string("failed: ") + e.what();
    } catch (const rank_agreement::ranks_disagree& e) {
        return std::string("disagree: ") + e.what();
    }
    return "agreed";
}

rank_verdict compiled(std::uint64_t digest) { return {false, digest, "circuit " + std::to_string(digest)}; }

}  // namespace

TEST(rank_agreement, FailuresComeBeforeDisagreementAndNameTheFirstRank) {
    EXPECT_EQ(refusal({compiled(1), compiled(1), compiled(1), compiled(1)}), "agreed");
    EXPECT_EQ(refusal({compiled(1), compiled(2), {true, 0, "no memory"}, {true, 0, "no gate"}}),
              "failed: rank 2 failed: no memory (rank 3 failed too)");
    EXPECT_EQ(refusal({{true, 0, "a"}, {true, 0, "b"}, {true, 0, "c"}, compiled(1)}),
              "failed: rank 0 failed: a (ranks 1 and 2 failed too)");
}

TEST(rank_agreement, DisagreeingRanksAreGroupedByWhatTheyCompiled) {
    EXPECT_EQ(refusal({compiled(7), compiled(9), compiled(7), compiled(5)}),
              "disagree: ranks disagree on the circuit: ranks 0 and 2 have circuit 7; rank 1 has circuit 9; "
              "rank 3 has circuit 5");
    std::vector<rank_verdict> six;
    for (std::uint64_t d = 0; d < 6; ++d) six.push_back(compiled(d));
    const std::string message = refusal(six);
    EXPECT_NE(message.find("rank 3 has circuit 3; and 2 more different circuits"), std::string::npos) << message;
}

TEST(rank_agreement, ProgramDigestSeesEveryField) {
    gates::compiled_gate gate;
    gate.kind = gates::compiled_gate::PAIR_MATRIX;
    gate.target = 3;
    gate.m[1] = {0.25, -0.5};
    const std::uint64_t base = rank_agreement::programDigest({gate});
    std::vector<gates::compiled_gate> changed(6, gate);
    changed[0].target = 2;
    changed[1].mask = 1;
    changed[2].zeros = 1;
    changed[3].m[1] = {0.25, std::nextafter(-0.5, 0.0)};
    changed[4].confined = true;
    changed[5].kind = gates::compiled_gate::PAIR_DIAG;
    for (std::size_t k = 0; k < changed.size(); ++k)
        EXPECT_NE(rank_agreement::programDigest({changed[k]}), base) << "change " << k;
    EXPECT_NE(rank_agreement::programDigest({gate, gate}), base);
    EXPECT_EQ(rank_agreement::programDigest({gate}), base);
}

// A verdict's text is cut to fit its record, never inside a character: it
// becomes a Python str on every rank.
TEST(rank_agreement, LongTextsAreCutAtACharacter) {
    const std::string text = std::string(rank_comm::kVerdictText - 1, 'x') + "\xc3\xa9" + "tail";
    const std::vector<rank_verdict> all = rank_comm::gatherVerdicts({true, 3, text});
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].text, std::string(rank_comm::kVerdictText - 1, 'x'));
    EXPECT_TRUE(all[0].failed);
    EXPECT_EQ(all[0].digest, 3u);
}
