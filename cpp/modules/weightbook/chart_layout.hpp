#pragma once
// Sizes and grid placement of the strategy chart pages. The two page kinds of each chart
// ("large": wide landscape; any other kind: tall portrait) differ only in these numbers,
// so the drawing code reads them from here and never branches on the page kind itself.
// Plain data: no Python headers.

#include <array>

#include "chartkit/layout.hpp"

namespace lumora::weightbook {

using chartkit::Cells;
using chartkit::GridLayout;
using chartkit::Margins;
using chartkit::PageFrame;

struct PerformanceLayout {
    PageFrame frame;
    double panel_title_size;
    double twin_label_size;
    double card_value_size;
    double card_label_size;
    double legend_cumulative;
    double legend_excess;
    double legend_yearly;
    double legend_rolling;
    double legend_drawdown;
    double bar_label_size;
    double year_tick_rotation;
    const char* year_tick_align;
    chartkit::SummaryTableStyle summary;
    bool compact_yearly_table;
    Cells cards;
    Cells cumulative;
    Cells excess;
    Cells yearly_returns;
    Cells rolling;
    Cells drawdown;
    Cells summary_table;
    Cells yearly_table;
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
