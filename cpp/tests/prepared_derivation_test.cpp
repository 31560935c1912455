#include "lumora/prepared_derivation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lumora/code_pivot.hpp"

using namespace lumora;
using namespace lumora::prepared;

namespace {

// Column-major values seen through explicit label positions (-1: label absent).
AlignedMatrix aligned(const std::vector<double>& values, std::int64_t rows, std::int64_t cols,
                      std::vector<std::int64_t> row_pos, std::vector<std::int64_t> col_pos) {
    AlignedMatrix m;
    m.view = MatrixView{reinterpret_cast<const std::byte*>(values.data()),
                        rows,
                        cols,
                        static_cast<std::ptrdiff_t>(sizeof(double)),
                        static_cast<std::ptrdiff_t>(rows * sizeof(double)),
                        CellKind::Float64};
    m.row_pos = std::move(row_pos);
    m.col_pos = std::move(col_pos);
    return m;
}

}  // namespace

TEST(PreparedDerivation, TradabilityIsBlockedAtTheLimitWhenSuspendedAndWithoutAPrice) {
    // One date, four stocks: at limit, off limit, no price but suspended, absent everywhere.
    const std::vector<double> price = {9.0, 9.5, kNaN};
    const std::vector<double> limit = {9.0, 9.0, 9.0};
    const std::vector<double> suspended = {0.0, 1.0};
    const AlignedMatrix p = aligned(price, 1, 3, {0}, {0, 1, 2, -1});
    const AlignedMatrix l = aligned(limit, 1, 3, {0}, {0, 1, 2, -1});
    const AlignedMatrix s = aligned(suspended, 1, 2, {0}, {-1, 0, 1, -1});
    bool blocked[4];
    bool allowed[4];
    tradability_flags(p, l, s, FlagSense::Blocked, blocked);
    tradability_flags(p, l, s, FlagSense::Allowed, allowed);
    EXPECT_TRUE(blocked[0] && !allowed[0]);
    EXPECT_TRUE(!blocked[1] && allowed[1]);  // 0.0 suspension is no suspension
    EXPECT_TRUE(blocked[2] && !allowed[2]);
    EXPECT_TRUE(blocked[3] && !allowed[3]);  // no price anywhere: no trade either way
}

TEST(PreparedDerivation, ATradingDayWithoutAPriceIsNeitherBoughtNorSold) {
    // One date, four stocks, none suspended: NaN, zero and absent prices block both ways,
    // whether the day is a trading day or the stock is not listed (state unknown).
    const std::vector<double> price = {kNaN, 0.0, kNaN};
    const std::vector<double> limit = {9.0, 9.0, 9.0};
    const std::vector<double> suspended = {0.0, 0.0, kNaN, 0.0};
    const AlignedMatrix p = aligned(price, 1, 3, {0}, {0, 1, 2, -1});
    const AlignedMatrix l = aligned(limit, 1, 3, {0}, {0, 1, 2, -1});
    const AlignedMatrix s = aligned(suspended, 1, 4, {0}, {0, 1, 2, 3});
    bool blocked[4];
    bool allowed[4];
    tradability_flags(p, l, s, FlagSense::Blocked, blocked);
    tradability_flags(p, l, s, FlagSense::Allowed, allowed);
    for (int c : {0, 1, 2, 3}) EXPECT_TRUE(blocked[c] && !allowed[c]) << c;
}

TEST(PreparedDerivation, ForwardRanksAverageTiesAndSkipMissingReturns) {
    // Three dates x four stocks (given column-major, the result row-major); only the first
    // date has a forward return.
    const std::vector<double> open = {1, 1, 2, 1, 2, 4, 1, 0, 5, 1, 1, 1};
    double out[12];
    forward_open_rank(MatrixView{reinterpret_cast<const std::byte*>(open.data()), 3, 4, sizeof(double),
                                 3 * sizeof(double), CellKind::Float64},
                      out);
    EXPECT_EQ(out[0], 2.5);           // return 1.0, tied
    EXPECT_EQ(out[1], 2.5);           // return 1.0, tied
    EXPECT_TRUE(std::isnan(out[2]));  // divided by a zero open
    EXPECT_EQ(out[3], 1.0);           // return 0.0: lowest
    for (int k : {4, 5, 6, 7, 8, 9, 10, 11}) EXPECT_TRUE(std::isnan(out[k]));
}

TEST(PreparedDerivation, AdjustmentFactorsAndValidity) {
    const std::vector<double> close = {5.0, kNaN, INFINITY};
    double valid[3];
    close_validity(MatrixView{reinterpret_cast<const std::byte*>(close.data()), 3, 1, sizeof(double),
                              3 * sizeof(double), CellKind::Float64},
                   valid);
    EXPECT_EQ(valid[0], 1.0);
    EXPECT_TRUE(std::isnan(valid[1]) && std::isnan(valid[2]));
    const std::vector<double> source = {10.0, 10.0};
    const std::vector<double> validity = {1.0, kNaN};
    double split[2];
    double dividend[2];
    split_factor(aligned(source, 2, 1, {0, 1}, {0}), aligned(validity, 2, 1, {0, 1}, {0}), split);
    dividend_factor(aligned(source, 2, 1, {0, 1}, {0}), aligned(validity, 2, 1, {0, 1}, {0}), dividend);
    EXPECT_EQ(split[0], 1.0);
    EXPECT_DOUBLE_EQ(dividend[0], 0.9);
    EXPECT_TRUE(std::isnan(split[1]) && std::isnan(dividend[1]));
}

TEST(CodePivot, KeepsUsedLabelsAndTheLastValue) {
    const std::vector<std::int64_t> dates = {2, 0, 2, -1, 1};
    const std::vector<std::int64_t> stocks = {1, 1, 1, 0, 3};
    const std::vector<double> values = {1.0, 2.0, 3.0, 4.0, kNaN};
    NarrowRows rows{dates.data(), stocks.data(), values.data(), nullptr, 0, 5, 3, 4};
    CodePivot pivot(rows);
    EXPECT_EQ(pivot.date_codes(), (std::vector<std::int64_t>{0, 2}));  // date 1 only had a NaN
    EXPECT_EQ(pivot.instrument_codes(), (std::vector<std::int64_t>{1}));
    double out[2];
    pivot.fill(out);
    EXPECT_EQ(out[0], 2.0);
    EXPECT_EQ(out[1], 3.0);  // the later row for the same cell wins
}
