#include "lumora/universe_mask.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "aligned_tables.hpp"

using namespace lumora;

using lumora::test_tables::identity_aligned;

TEST(UniverseMask, UnionOfMembershipsKeepsValidityInside) {
    // 1 row x 4 stocks: in A only, in B only, in neither, in both.
    const std::vector<double> valid = {1.0, 0.0, 1.0, kNaN};
    const std::vector<double> a = {1.0, kNaN, kNaN, 1.0};
    const std::vector<double> b = {kNaN, 1.0, kNaN, 1.0};
    std::vector<double> out(4);
    restrict_validity_to_universe(MatrixView::dense(valid.data(), 1, 4),
                                  {identity_aligned(a, 1, 4), identity_aligned(b, 1, 4)}, out.data());
    EXPECT_EQ(out[0], 1.0);
    EXPECT_EQ(out[1], 0.0);
    EXPECT_TRUE(std::isnan(out[2]));
    EXPECT_TRUE(std::isnan(out[3]));  // inside, but its validity is missing
}

TEST(UniverseMask, NonPositiveOrInfiniteSumIsOutside) {
    const std::vector<double> valid = {1.0, 1.0, 1.0, 1.0};
    const std::vector<double> a = {0.0, -1.0, INFINITY, INFINITY};
    const std::vector<double> b = {kNaN, 2.0, kNaN, -INFINITY};
    const std::vector<double> c = {kNaN, kNaN, kNaN, 1.0};  // inf - inf is missing, then 1 counts
    std::vector<double> out(4);
    restrict_validity_to_universe(MatrixView::dense(valid.data(), 1, 4),
                                  {identity_aligned(a, 1, 4), identity_aligned(b, 1, 4), identity_aligned(c, 1, 4)},
                                  out.data());
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_EQ(out[1], 1.0);
    EXPECT_TRUE(std::isnan(out[2]));
    EXPECT_EQ(out[3], 1.0);
}

TEST(UniverseMask, AbsentLabelsAreOutsideAndOutputIsColumnMajor) {
    const std::vector<double> valid = {1.0, 2.0, 3.0, 4.0};  // 2 x 2 row-major
    const std::vector<double> member = {1.0};
    AlignedMatrix m;
    m.view = MatrixView::dense(member.data(), 1, 1);
    m.row_pos = {0, -1};
    m.col_pos = {-1, 0};
    std::vector<double> out(4);
    restrict_validity_to_universe(MatrixView::dense(valid.data(), 2, 2), {m}, out.data());
    EXPECT_TRUE(std::isnan(out[0]));  // (0,0)
    EXPECT_TRUE(std::isnan(out[1]));  // (1,0)
    EXPECT_EQ(out[2], 2.0);           // (0,1)
    EXPECT_TRUE(std::isnan(out[3]));  // (1,1)
}
