#pragma once
// Series arithmetic behind the chart panels: drawdowns from a running peak, rolling
// excess-return stability, per-year sums and week-ending-Friday sampling. Plain C++ on
// arrays; the binding layer moves the data in and out.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumora::weightbook {

// value - running maximum of the values seen so far. A missing value stays missing and
// does not interrupt the running maximum.
std::vector<double> drawdown_from_running_peak(std::span<const double> values);

struct RollingStability {
    std::vector<double> sharpe;    // rolling mean / rolling sample sd * sqrt(252)
    std::vector<double> win_rate;  // share of days in the window with a return > 0
};

// Full windows only: the first window - 1 entries are NaN, and a window holding a
// missing return has no Sharpe ratio (a missing return still counts as a non-winning day).
RollingStability rolling_stability(std::span<const double> returns, std::size_t window);

// Sums per calendar year, years ascending; NaN returns are skipped (a year of only
// missing returns sums to 0). Rows whose year is NaN belong to no year.
struct YearlySums {
    std::vector<std::int64_t> years;
    std::array<std::vector<double>, 3> sums;
};
YearlySums yearly_sums(std::span<const double> years, const std::array<std::span<const double>, 3>& columns);

// Weeks that end on Friday: a trading day belongs to the week of the first Friday on or
// after it and the week is labelled with that Friday. Each column keeps its last finite
// value of the week (infinite values count as missing); weeks without any finite value in
// any column are left out, and so are rows whose time is NaT.
struct WeeklySample {
    std::vector<std::int64_t> friday_ns;  // midnight of the Friday, ns since the epoch
    std::array<std::vector<double>, 3> last;
};
inline constexpr std::int64_t kNaTNanoseconds = INT64_MIN;
WeeklySample last_per_week_to_friday(std::span<const std::int64_t> timestamps_ns,
                                     const std::array<std::span<const double>, 3>& columns);

}  // namespace lumora::weightbook
