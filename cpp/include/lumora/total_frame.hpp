#pragma once
// The unified total frame of a strategy backtest: strategy, benchmark and excess series as
// simple (additive) cumulations of daily returns, rebased on the first day.

#include <cstddef>
#include <vector>

namespace lumora {

struct TotalFrame {
    std::vector<double> extra_daily_return;
    std::vector<double> long_nav;  // strategy net value, 1.0 on the first row
    std::vector<double> close;     // filled only when the input had no close column
    std::vector<double> close_net_value;
    std::vector<double> max_drowdown;  // long minus its running maximum
    std::vector<double> extra_return;  // cumulative excess, 0.0 on the first row
    std::vector<double> extra_max_drowdown;
};

// Inputs hold no missing value (rows with one were dropped). `close` may be null: the
// benchmark level is then rebuilt from the benchmark returns.
TotalFrame build_total_frame(const double* daily_return, const double* index_daily_return, const double* close,
                             std::size_t n);

// Running helpers shared by the frames and metrics.
std::vector<double> cumulative_sum(const double* values, std::size_t n);
std::vector<double> drawdown_from_running_max(const std::vector<double>& level);

}  // namespace lumora
