#pragma once
// Figures of a series of daily returns shared by the factor and the strategy analysis:
// moments, the one-sample t-test of the mean, drawdowns of the additive net value and the
// calendar grouping of daily values.
//
// Returns are fractions (0.05 is 5 %). Net values are additive, 1 + the running sum of the
// daily returns, as everywhere in this engine; a drawdown is the fall of a net value below
// its running peak, in units of the capital (negative). In `return_figures` the peak starts
// at the capital itself (level 1), so a loss from the first day counts in full; the
// strategy's drawdown periods follow its total frame, whose net value starts on the first
// day (see worst_drawdowns).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumora {

// Mean, sample standard deviation (n - 1), population skew and excess kurtosis (the
// biased moment estimates, as scipy.stats.skew / kurtosis by default) and the t-test of the
// mean against zero. Non-finite values are skipped.
struct Moments {
    std::int64_t count = 0;
    double mean;
    double std;
    double skew;
    double kurtosis;
    double share_positive;  // share of values above zero
    double t_stat;          // mean / (std / sqrt(count))
    double p_value;         // two-sided, Student t with count - 1 degrees of freedom
};
Moments moments_of(std::span<const double> values);

// Two-sided p-value of a t statistic with `df` degrees of freedom; NaN when undefined.
double student_t_two_sided_p(double t, double df);

// Annualised mean return (mean x 252), Sharpe ratio (mean / sample sd x sqrt 252) and the
// deepest drawdown (<= 0) of a daily return series; NaN days are skipped.
struct ReturnFigures {
    double annual_return;
    double sharpe;
    double max_drawdown;
};
ReturnFigures return_figures(std::span<const double> daily);

// One underwater period of a net value series: the last row at the peak before the fall,
// the deepest row, the row the net value regained the peak (-1 when it has not), the depth
// (< 0, the net value minus its running peak) and the length in rows (trading days) from the
// peak to the recovery (or to the last row).
struct Drawdown {
    std::int64_t peak;
    std::int64_t trough;
    std::int64_t recovery;
    double depth;
    std::int64_t days;
};
// The `count` deepest non-overlapping drawdowns of `net_value`, deepest first. The running
// peak starts at the first row, as the strategy's total frame rebases its net value there;
// missing values are skipped.
std::vector<Drawdown> worst_drawdowns(std::span<const double> net_value, std::size_t count);

// Values grouped by a key per value (a year, a month as YYYYMM ...): the distinct keys in
// ascending order and, per key, the sum and mean of its finite values and their count.
struct KeyedFigures {
    std::vector<std::int32_t> keys;
    std::vector<double> sums, means;
    std::vector<std::int64_t> counts;
};
KeyedFigures by_key(std::span<const std::int32_t> keys, std::span<const double> values);

// Figures of `months` (keys YYYYMM; `values` its sums or its means) as a year x month grid:
// the distinct years ascending and years x 12 cells, row-major, NaN where a month has no
// finite value.
struct MonthGrid {
    std::vector<std::int32_t> years;
    std::vector<double> cells;
};
MonthGrid month_grid(const KeyedFigures& months, std::span<const double> values);

// One number of an analysis summary under its key in the record: the strategy and the
// factor analyses each list theirs in one function, in the record's order.
struct NamedFigure {
    const char* key;
    double value;
};

}  // namespace lumora
