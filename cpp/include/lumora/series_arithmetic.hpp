#pragma once
// Series arithmetic behind the chart panels: drawdowns from a running peak, rolling
// windows and per-year sums of daily series, missing values allowed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumora {

// value - running maximum of the values seen so far. A missing value stays missing and
// does not interrupt the running maximum.
std::vector<double> drawdown_from_running_peak(std::span<const double> values);

struct RollingStability {
    std::vector<double> sharpe;    // rolling mean / rolling sample sd * sqrt(252)
    std::vector<double> win_rate;  // share of days in the window with a return > 0
};

// The window of the rolling stability figures: this many days, or fewer on a short series
// (see rolling_days), never fewer than the smallest.
inline constexpr std::size_t kRollingStabilityDays = 60;
inline constexpr std::size_t kMinRollingStabilityDays = 5;

// Full windows only: the first window - 1 entries are NaN, and a window holding a
// missing return has no Sharpe ratio (a missing return still counts as a non-winning day).
RollingStability rolling_stability(std::span<const double> returns, std::size_t window);

// Mean of each full window of `window` values ending at a row; NaN for the first
// window - 1 rows and for windows holding a missing value.
std::vector<double> rolling_mean(std::span<const double> values, std::size_t window);

// Window of a rolling panel: `preferred` rows when the series has as many, else a third of
// it, but never fewer than `smallest`.
std::size_t rolling_days(std::size_t rows, std::size_t preferred, std::size_t smallest);

// Sum of the values up to each row, missing values skipped; NaN before the first value.
std::vector<double> running_sum(std::span<const double> values);

// Sums per calendar year, years ascending; NaN returns are skipped (a year of only
// missing returns sums to 0). Rows whose year is NaN belong to no year.
struct YearlySums {
    std::vector<std::int64_t> years;
    std::array<std::vector<double>, 3> sums;
};
YearlySums yearly_sums(std::span<const double> years, const std::array<std::span<const double>, 3>& columns);

}  // namespace lumora
