#include "lumora/ex_rights.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace lumora;

TEST(ExRights, PreCloseBelowTheLastCloseIsTheHoldersAdjustment) {
    // A 2-for-1 split (10.40 -> 5.20), a 0.50 dividend (10.00 -> 9.50), an ordinary day, a
    // pre-close that differs only by float noise, and cells without one of the two prices.
    const std::vector<double> last{10.40, 10.00, 8.00, 7.15, kNaN, 3.00};
    const std::vector<double> pre{5.20, 9.50, 8.00, 7.149999999, 4.00, kNaN};
    std::vector<double> out(last.size());
    ex_rights::factors_from_pre_close(MatrixView::dense(last.data(), 2, 3), MatrixView::dense(pre.data(), 2, 3),
                                      out.data());
    EXPECT_DOUBLE_EQ(out[0], 2.0);
    EXPECT_DOUBLE_EQ(out[1], 10.0 / 9.5);
    for (std::size_t k = 2; k < out.size(); ++k) EXPECT_TRUE(std::isnan(out[k])) << k;
}

TEST(ExRights, ClosesOutsideTheBandAreFoundByWholeCents) {
    // Limits 11.00 / 9.00: 11.004 rounds to 11.00 (inside), 11.005 to 11.01 (outside), 5.20
    // (a split the files do not state) is below, and a cell without limits is skipped.
    const std::vector<double> close{11.004, 11.005, 5.20, 5.20};
    const std::vector<double> up{11.0, 11.0, 11.0, kNaN};
    const std::vector<double> down{9.0, 9.0, 9.0, kNaN};
    const auto found =
        ex_rights::outside_limit_band(MatrixView::dense(close.data(), 2, 2), MatrixView::dense(up.data(), 2, 2),
                                      MatrixView::dense(down.data(), 2, 2));
    ASSERT_EQ(found.size(), 2U);
    EXPECT_EQ(found[0].row, 0);
    EXPECT_EQ(found[0].col, 1);
    EXPECT_EQ(found[1].row, 1);
    EXPECT_EQ(found[1].col, 0);
}
