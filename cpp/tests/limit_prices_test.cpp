#include "lumora/limit_prices.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

using namespace lumora;
using namespace lumora::limits;

TEST(LimitPrices, HalvesRoundUpWhereBinaryFloatsRoundDown) {
    // 5.05 * 0.9 = 4.545 is 4.5449999... as a double; the exchange quotes 4.55.
    EXPECT_EQ(reference_cents(5.05, kNaN, kNaN), 505);
    EXPECT_EQ(limit_cents(505, 10).down, 455);
    EXPECT_EQ(limit_cents(505, 10).up, 556);
    EXPECT_EQ(reference_cents(10.0, 0.155, kNaN), 985);  // 9.845
    EXPECT_EQ(reference_cents(10.0, 0.1, 1.5), 660);
}

TEST(LimitPrices, ReferenceWithoutAPositiveCentHasNoLimitAndLimitDownKeepsOneCent) {
    EXPECT_FALSE(reference_cents(0.5, 0.6, kNaN));
    EXPECT_FALSE(reference_cents(1e-300, kNaN, kNaN));
    EXPECT_FALSE(reference_cents(INFINITY, kNaN, kNaN));
    EXPECT_EQ(limit_cents(1, 30).down, 1);
    EXPECT_EQ(limit_cents(1, 10).up, 1);
}

TEST(LimitPrices, BoardsDatesAndListingDays) {
    EXPECT_EQ(board_of(300750, false), Board::ChiNext);
    EXPECT_EQ(board_of(920001, false), Board::Beijing);
    EXPECT_EQ(board_of(600000, true), Board::Beijing);
    EXPECT_EQ(limit_percent(Board::ChiNext, 20200821, true), 5);
    EXPECT_EQ(limit_percent(Board::ChiNext, 20200824, true), 20);
    EXPECT_EQ(limit_percent(Board::Main, 20260703, true), 5);
    EXPECT_EQ(limit_percent(Board::Main, 20260706, true), 10);
    EXPECT_EQ(free_days(Board::Main, 20230407), 1);
    EXPECT_EQ(free_days(Board::Main, 20230410), 5);

    // A STAR listing on the first of six days: no limit on its first five.
    const std::vector<std::int32_t> dates = {20240102, 20240103, 20240104, 20240105, 20240108, 20240109};
    const std::vector<double> close(6, 10.0);
    const std::vector<std::int32_t> codes = {688001}, listing = {20240102};
    LimitInputs in{MatrixView::dense(close.data(), 6, 1), nullptr, nullptr, nullptr, codes, {}, dates, dates, listing};
    std::vector<double> reference(6), up(6), down(6);
    limit_tables(in, reference.data(), up.data(), down.data());
    for (int r = 0; r < 5; ++r) EXPECT_TRUE(std::isnan(up[r]) && std::isnan(down[r])) << r;
    EXPECT_EQ(up[5], 12.0);
    EXPECT_EQ(down[5], 8.0);

    const std::vector<std::int32_t> elsewhere = {20240110};
    in.listing = elsewhere;
    EXPECT_THROW(limit_tables(in, reference.data(), up.data(), down.data()), std::invalid_argument);
}
