#pragma once
// The one-page performance report of a strategy backtest.

#include "weightbook/chart_request.hpp"

namespace lumora::weightbook {

// `_plot_strategy_performance_unlocked`: draws and saves the page, or does nothing when
// the total frame has no rows. Caller holds the plot lock.
void plot_strategy_performance_unlocked(const ChartRequest& request);

}  // namespace lumora::weightbook
