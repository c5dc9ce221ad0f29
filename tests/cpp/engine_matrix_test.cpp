#include <gtest/gtest.h>

#include <complex>
#include <string>

#include "ir/matrix.h"

namespace {

using cd = std::complex<double>;

matrix<double> counting(unsigned long rows, unsigned long cols) {
    matrix<double> m(rows, cols);
    for (unsigned long i = 0; i < rows; ++i)
        for (unsigned long j = 0; j < cols; ++j) m[i][j] = 1.0 + i * cols + j;
    return m;
}

TEST(engine_matrix, ProductFollowsRowTimesColumn) {
    const matrix<double> a = counting(2, 3), b = counting(3, 2);
    const matrix<double> p = a * b;
    ASSERT_EQ(p.getRowNum(), 2u);
    ASSERT_EQ(p.getColNum(), 2u);
    // [[1 2 3],[4 5 6]] x [[1 2],[3 4],[5 6]]
    EXPECT_EQ(p[0][0], 22.0);
    EXPECT_EQ(p[0][1], 28.0);
    EXPECT_EQ(p[1][0], 49.0);
    EXPECT_EQ(p[1][1], 64.0);
}

TEST(engine_matrix, MismatchedShapesThrowTheMessageAsCString) {
    const matrix<int> a(2, 3), b(2, 3), c(3, 3);
    auto message = [](auto&& op) {
        try {
            op();
        } catch (const char* text) {
            return std::string(text);
        }
        return std::string("no throw");
    };
    const std::string expected = "The dimensions of two matrix is not consistant.";
    EXPECT_EQ(message([&] { (void)(a * b); }), expected);
    EXPECT_EQ(message([&] { (void)(a + c); }), expected);
    EXPECT_EQ(message([&] { (void)(a - c); }), expected);
}

TEST(engine_matrix, SumDifferenceAndScalar) {
    const matrix<double> a = counting(2, 2);
    const matrix<double> twice = a + a, zero = a - a, scaled = a * 3.0;
    for (unsigned long i = 0; i < 2; ++i)
        for (unsigned long j = 0; j < 2; ++j) {
            EXPECT_EQ(twice[i][j], 2 * a[i][j]);
            EXPECT_EQ(zero[i][j], 0.0);
            EXPECT_EQ(scaled[i][j], 3 * a[i][j]);
        }
}

TEST(engine_matrix, TensorWithIdentityIsBlockDiagonal) {
    const cd data[] = {{1, 2}, {3, 0}, {0, -1}, {4, 4}};
    matrix<cd> id(2, 2);
    id[0][0] = id[1][1] = 1.0;
    const matrix<cd> m(2, 2, data);
    const matrix<cd> t = id.tensor(m);
    ASSERT_EQ(t.getRowNum(), 4u);
    ASSERT_EQ(t.getColNum(), 4u);
    for (unsigned long i = 0; i < 4; ++i)
        for (unsigned long j = 0; j < 4; ++j) {
            const bool sameBlock = i / 2 == j / 2;
            EXPECT_EQ(t[i][j], sameBlock ? data[(i % 2) * 2 + j % 2] : cd(0, 0)) << i << "," << j;
        }
}

TEST(engine_matrix, TransposeSwapsShapeAndIndices) {
    const matrix<float> row = [] {
        matrix<float> m(1, 3);
        m[0][0] = 1, m[0][1] = 2, m[0][2] = 3;
        return m;
    }();
    const matrix<float> col = row.transform();
    ASSERT_EQ(col.getRowNum(), 3u);
    ASSERT_EQ(col.getColNum(), 1u);
    for (unsigned long j = 0; j < 3; ++j) EXPECT_EQ(col[j][0], row[0][j]);
}

TEST(engine_matrix, AssignmentCopiesTheRightHandSide) {
    matrix<int> a(1, 1);
    matrix<int> b(2, 2);
    b[1][0] = 7;
    const matrix<int>& value = (a = b);
    EXPECT_EQ(&value, &a);
    ASSERT_EQ(a.getRowNum(), 2u);
    EXPECT_EQ(a[1][0], 7);
    b[1][0] = 8;  // no sharing
    EXPECT_EQ(a[1][0], 7);
}

TEST(engine_matrix, DefaultIsEmptyAndResizeKeepsOverlap) {
    EXPECT_EQ(matrix<double>().getRowNum(), 0u);
    EXPECT_EQ(matrix<double>().getColNum(), 0u);

    matrix<double> m = counting(2, 2);
    m.resize(3, 3);
    ASSERT_EQ(m.getRowNum(), 3u);
    for (unsigned long i = 0; i < 3; ++i) {
        ASSERT_EQ(m[i].size(), 3u);
        for (unsigned long j = 0; j < 3; ++j) EXPECT_EQ(m[i][j], (i < 2 && j < 2) ? 1.0 + i * 2 + j : 0.0);
    }
    m.resize(1, 2);
    EXPECT_EQ(m.getRowNum(), 1u);
    EXPECT_EQ(m[0][1], 2.0);
}

TEST(engine_matrix, FailedAllocationLeavesAConsistentEmptyMatrix) {
    testing::internal::CaptureStdout();
    matrix<double> huge(1, ~0UL);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Exception happend during make a new matrix\n");
    EXPECT_EQ(huge.getRowNum(), 0u);
    EXPECT_EQ(huge.getColNum(), 0u);
}

}  // namespace
