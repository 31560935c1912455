#pragma once
// Period figures of daily returns (simple return, maximum drawdown, Calmar ratio) and the
// per-calendar-year table of those figures for a strategy and its excess return.
//
// Returns are ratios (0.05 is 5 %). Cumulation is additive throughout: a period's return
// is the sum of its daily returns, never a compounded product.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumora {

struct PeriodMetrics {
    double period_return;
    double max_drawdown;  // >= 0
    double calmar;        // annualised mean return / max_drawdown
};

// Drawdowns below this are treated as no drawdown: the Calmar ratio is then undefined.
inline constexpr double kMinCalmarDrawdown = 1e-12;

// Figures of one period. NaN returns are skipped (as a missing day); an empty span gives
// NaN everywhere, a span of NaN only gives a zero return and NaN for the other two.
// The drawdown peak starts at the level 0, so a loss from the first day counts in full.
PeriodMetrics period_return_drawdown_calmar(std::span<const double> returns);

struct YearlyMetricsRow {
    std::int32_t year;
    double strategy_return;
    double strategy_sharpe;
    double strategy_max_dd;
    double strategy_calmar;
    double excess_return;
    double excess_sharpe;
    double excess_max_dd;
    double excess_calmar;

    // The eight figures in the order above.
    std::array<double, 8> figures() const {
        return {strategy_return, strategy_sharpe, strategy_max_dd, strategy_calmar,
                excess_return,   excess_sharpe,   excess_max_dd,   excess_calmar};
    }
};

// One row per calendar year (ascending) that has at least one finite strategy or excess
// return. `years[i]` is the calendar year of row i; rows need not be sorted, and keep
// their order inside a year. Non-finite returns are dropped before any figure.
std::vector<YearlyMetricsRow> yearly_performance_metrics(std::span<const std::int32_t> years,
                                                         std::span<const double> strategy,
                                                         std::span<const double> excess);

// The same with each row's year as read from a datetime index: a row whose year is NaN (a
// missing date) takes part in no year's figures.
std::vector<YearlyMetricsRow> dated_yearly_metrics(std::span<const double> year_values,
                                                   std::span<const double> strategy, std::span<const double> excess);

// Proleptic Gregorian calendar year of a day count since 1970-01-01.
std::int32_t civil_year_from_days(std::int64_t day_count);

}  // namespace lumora
