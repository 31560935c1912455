#include "lumora/yearly_metrics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "lumora/sharpe.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

struct PeriodCase {
    std::vector<double> returns;
    double period_return;
    double max_drawdown;
    double calmar;  // NaN when undefined
};

class PeriodMetricsTest : public ::testing::TestWithParam<PeriodCase> {};

void expect_same(double actual, double expected) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << actual;
    } else {
        EXPECT_NEAR(actual, expected, 1e-9);
    }
}

TEST_P(PeriodMetricsTest, MatchesWorkedExample) {
    const PeriodCase& c = GetParam();
    const lumora::PeriodMetrics m = lumora::period_return_drawdown_calmar(c.returns);
    expect_same(m.period_return, c.period_return);
    expect_same(m.max_drawdown, c.max_drawdown);
    expect_same(m.calmar, c.calmar);
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, PeriodMetricsTest,
                         ::testing::Values(
                             // Recovers partly after a fall from a peak above zero.
                             PeriodCase{{0.01, -0.02, 0.005}, -0.005, 0.02, -21.0},
                             // A loss from the first day counts in full: the peak is the starting level 0.
                             PeriodCase{{-0.01, -0.02}, -0.03, 0.03, -126.0},
                             // Never below the peak: no drawdown, so no Calmar ratio.
                             PeriodCase{{0.01, 0.01}, 0.02, 0.0, kNan}, PeriodCase{{}, kNan, kNan, kNan},
                             // Missing days are skipped; only missing days leave a zero sum and nothing else.
                             PeriodCase{{kNan, kNan}, 0.0, kNan, kNan},
                             PeriodCase{{0.01, kNan, -0.02, 0.005}, -0.005, 0.02, -0.005 / 3 * 252 / 0.02}));

TEST(YearlyMetrics, SpansYearBoundaryInAscendingYears) {
    const std::vector<std::int32_t> years{2024, 2023, 2024, 2023};
    const std::vector<double> strategy{0.02, 0.01, -0.01, -0.03};
    const std::vector<double> excess{0.0, 0.005, 0.001, 0.002};
    const auto rows = lumora::yearly_performance_metrics(years, strategy, excess);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].year, 2023);
    EXPECT_EQ(rows[1].year, 2024);
    // Rows keep their order inside a year: 2023 is 0.01 then -0.03.
    EXPECT_NEAR(rows[0].strategy_return, -0.02, 1e-12);
    EXPECT_NEAR(rows[0].strategy_max_dd, 0.03, 1e-12);
    EXPECT_NEAR(rows[1].strategy_max_dd, 0.01, 1e-12);
    const std::vector<double> s2023{0.01, -0.03};
    EXPECT_DOUBLE_EQ(rows[0].strategy_sharpe, lumora::safe_sharpe(s2023.data(), s2023.size()));
    EXPECT_NEAR(rows[1].excess_return, 0.001, 1e-12);
    EXPECT_TRUE(std::isnan(rows[1].excess_calmar));  // 0.0 then 0.001 never falls
}

TEST(YearlyMetrics, DropsNonFiniteReturnsAndEmptyYears) {
    const std::vector<std::int32_t> years{2021, 2021, 2022, 2022, 2023};
    const std::vector<double> strategy{kInf, kNan, 0.01, -kInf, 0.02};
    const std::vector<double> excess{kNan, -kInf, kNan, 0.03, kNan};
    const auto rows = lumora::yearly_performance_metrics(years, strategy, excess);
    ASSERT_EQ(rows.size(), 2u);  // 2021 has no finite value in either column
    EXPECT_EQ(rows[0].year, 2022);
    EXPECT_DOUBLE_EQ(rows[0].strategy_return, 0.01);
    EXPECT_DOUBLE_EQ(rows[0].excess_return, 0.03);
    EXPECT_TRUE(std::isnan(rows[0].strategy_sharpe));  // one return has no spread
    // Only one side has data in 2023: the other side is NaN, the row still exists.
    EXPECT_EQ(rows[1].year, 2023);
    EXPECT_DOUBLE_EQ(rows[1].strategy_return, 0.02);
    EXPECT_TRUE(std::isnan(rows[1].excess_return));
    EXPECT_TRUE(std::isnan(rows[1].excess_max_dd));
    EXPECT_TRUE(std::isnan(rows[1].excess_calmar));
    EXPECT_TRUE(std::isnan(rows[1].excess_sharpe));
}

TEST(YearlyMetrics, EmptyInputGivesNoRows) { EXPECT_TRUE(lumora::yearly_performance_metrics({}, {}, {}).empty()); }

TEST(YearlyMetrics, RejectsMismatchedLengths) {
    const std::vector<std::int32_t> years{2021};
    const std::vector<double> two{0.0, 0.0};
    EXPECT_THROW(lumora::yearly_performance_metrics(years, two, two), std::invalid_argument);
}

TEST(CivilYear, AroundYearBoundariesAndEpoch) {
    EXPECT_EQ(lumora::civil_year_from_days(0), 1970);
    EXPECT_EQ(lumora::civil_year_from_days(-1), 1969);
    EXPECT_EQ(lumora::civil_year_from_days(19722), 2023);  // 2023-12-31
    EXPECT_EQ(lumora::civil_year_from_days(19723), 2024);  // 2024-01-01
    EXPECT_EQ(lumora::civil_year_from_days(11016), 2000);  // 2000-02-29
}

}  // namespace
