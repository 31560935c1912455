#include "lumora/series_arithmetic.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "lumora/sharpe.hpp"

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

void expect_series(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (std::isnan(expected[i])) {
            EXPECT_TRUE(std::isnan(actual[i])) << "row " << i << ": " << actual[i];
        } else {
            EXPECT_NEAR(actual[i], expected[i], 1e-12) << "row " << i;
        }
    }
}

TEST(SeriesArithmetic, MissingValuesStayMissingAndKeepTheRunningPeakAndSum) {
    const std::vector<double> level{kNan, 1.0, 1.2, kNan, 0.9, 1.3, 1.1};
    // The peak 1.2 survives the missing row: 0.9 is 0.3 below it.
    expect_series(lumora::drawdown_from_running_peak(level), {kNan, 0.0, 0.0, kNan, -0.3, 0.0, -0.2});
    // Nothing before the first value; a missing value adds nothing and keeps the sum.
    expect_series(lumora::running_sum(std::vector<double>{kNan, 0.1, kNan, -0.3, 0.05}), {kNan, 0.1, 0.1, -0.2, -0.15});
}

TEST(SeriesArithmetic, RollingWindowsAreFullWindowsOnly) {
    const std::vector<double> values{0.01, -0.02, 0.03, kNan, 0.02, 0.04, -0.01};
    expect_series(lumora::rolling_mean(values, 3), {kNan, kNan, 0.02 / 3, kNan, kNan, kNan, 0.05 / 3});

    const lumora::RollingStability rolling = lumora::rolling_stability(values, 3);
    // A missing return leaves its windows without a Sharpe ratio, but counts as a day
    // that did not win.
    expect_series(rolling.win_rate, {kNan, kNan, 2.0 / 3, 1.0 / 3, 2.0 / 3, 2.0 / 3, 2.0 / 3});
    for (std::size_t i : {3u, 4u, 5u}) EXPECT_TRUE(std::isnan(rolling.sharpe[i])) << i;
    // A full window's ratio is the annualised Sharpe ratio of its returns.
    EXPECT_NEAR(rolling.sharpe[2], lumora::safe_sharpe(values.data(), 3), 1e-12);
    EXPECT_NEAR(rolling.sharpe[6], lumora::safe_sharpe(values.data() + 4, 3), 1e-12);
    // A series shorter than the window has none.
    expect_series(lumora::rolling_stability(std::vector<double>{0.01, 0.02}, 3).sharpe, {kNan, kNan});
}

TEST(SeriesArithmetic, RollingDaysPreferTheWindowThenAThirdOfTheSeries) {
    EXPECT_EQ(lumora::rolling_days(300, 60, 5), 60u);
    EXPECT_EQ(lumora::rolling_days(45, 60, 5), 15u);
    EXPECT_EQ(lumora::rolling_days(9, 60, 5), 5u);
}

TEST(SeriesArithmetic, YearlySumsSkipMissingReturnsAndRowsWithoutAYear) {
    const std::vector<double> years{2021, 2020, kNan, 2021, 2022};
    const std::vector<double> a{0.01, 0.02, 0.5, kNan, kNan};
    const std::vector<double> b{-0.01, kNan, 0.5, 0.03, 0.04};
    const std::vector<double> c{0.0, 0.0, 0.5, 0.0, 0.0};
    const lumora::YearlySums sums = lumora::yearly_sums(years, {a, b, c});
    EXPECT_EQ(sums.years, (std::vector<std::int64_t>{2020, 2021, 2022}));
    // 2022 holds only a missing value of the first column: its sum is 0.
    expect_series(sums.sums[0], {0.02, 0.01, 0.0});
    expect_series(sums.sums[1], {0.0, 0.02, 0.04});
    expect_series(sums.sums[2], {0.0, 0.0, 0.0});
}

}  // namespace
