#pragma once
// Sizes and grid placement of the strategy chart pages. The two page kinds of each chart
// ("large": wide landscape; any other kind: tall portrait) differ only in these numbers,
// so the drawing code reads them from here and never branches on the page kind itself.
// Plain data: no Python headers.

#include <array>

#include "chartkit/layout.hpp"

namespace lumora::weightbook {

using chartkit::Cells;
using chartkit::Margins;
using chartkit::PageFrame;

// Legend type sizes of the performance page's plotting panels.
struct PerformanceLegends {
    double cumulative;
    double excess;
    double yearly;
    double rolling;
    double drawdown;
};

// The card page with the performance chart's own plots: excess return, yearly returns,
// rolling stability and drawdowns.
struct PerformanceLayout {
    chartkit::CardPageLayout page;
    PerformanceLegends legends;
    double bar_label_size;
    double year_tick_rotation;
    const char* year_tick_align;
};

struct WeeklyLayout {
    PageFrame frame;
    bool net_value_title;  // "Weekly Net Value" above the lines
    double drawdown_title_size;
    int drawdown_legend_columns;
    bool compact_yearly_table;
    Cells net_value;
    Cells drawdown;
    Cells yearly_table;
};

const PerformanceLayout& performance_layout(bool tall);
const WeeklyLayout& weekly_layout(bool tall);

}  // namespace lumora::weightbook
