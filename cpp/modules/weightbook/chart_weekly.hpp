#pragma once
// The weekly net value chart: Friday-sampled net values, their drawdowns and the
// yearly metrics table.

#include "weightbook/chart_request.hpp"

namespace lumora::weightbook {

// `_plot_weekly_net_value_unlocked`: draws and saves the page, or does nothing when no
// week has a value. Caller holds the plot lock.
void plot_weekly_net_value_unlocked(const ChartRequest& request);

}  // namespace lumora::weightbook
