#include "weightbook/chart_layout.hpp"

namespace lumora::weightbook {

namespace {

constexpr std::array<double, 7> kTallPerformanceHeights{0.7, 3.2, 3.0, 2.7, 2.7, 1.5, 2.0};

constexpr PerformanceLayout kWidePerformance{
    .page = chartkit::kWideCardPage,
    .legends = {.cumulative = 8.2, .excess = 8.0, .yearly = 8.0, .rolling = 7.8, .drawdown = 8.0},
    .bar_label_size = 7.6,
    .year_tick_rotation = 0,
    .year_tick_align = "center",
};

// Excess across the page, yearly returns beside rolling stability, then the drawdowns,
// the summary table and the yearly table, each across the page.
constexpr PerformanceLayout kTallPerformance{
    .page = chartkit::tall_card_page(chartkit::tall_panel_page(34.0, kTallPerformanceHeights, 0.965, 0.986),
                                     {0.26, 0.74}, {{{2, 3, 0, 2}, {3, 4, 0, 1}, {3, 4, 1, 2}, {4, 5, 0, 2}}},
                                     {5, 6, 0, 2}, {6, 7, 0, 2}),
    .legends = {.cumulative = 9.0, .excess = 9.0, .yearly = 9.0, .rolling = 9.0, .drawdown = 9.0},
    .bar_label_size = 8.2,
    .year_tick_rotation = 45,
    .year_tick_align = "right",
};

constexpr std::array<double, 2> kWideWeeklyWidths{2.55, 1.2};
constexpr std::array<double, 2> kWideWeeklyHeights{2.35, 1.55};
constexpr std::array<double, 3> kTallWeeklyHeights{3.1, 1.45, 1.9};

constexpr WeeklyLayout kWideWeekly{
    .frame = {.width_in = 18.8,
              .height_in = 8.6,
              .dpi = 170,
              .grid = {.rows = 2,
                       .cols = 2,
                       .height_ratios = kWideWeeklyHeights,
                       .width_ratios = kWideWeeklyWidths,
                       .hspace = 0.26,
                       .wspace = 0.16,
                       .grid_margins = Margins{0.055, 0.985, 0.9, 0.08},
                       .figure_margins = std::nullopt},
              .title_size = 15,
              .title_y = 0.965},
    .net_value_title = false,
    .drawdown_title_size = 11,
    .drawdown_legend_columns = 1,
    .compact_yearly_table = true,
    .net_value = {0, 1, 0, 2},
    .drawdown = {1, 2, 0, 1},
    .yearly_table = {1, 2, 1, 2},
};

constexpr WeeklyLayout kTallWeekly{
    .frame = {.width_in = 15.5,
              .height_in = 12.4,
              .dpi = 145,
              .grid = {.rows = 3,
                       .cols = 1,
                       .height_ratios = kTallWeeklyHeights,
                       .width_ratios = {},
                       .hspace = 0.34,
                       .wspace = std::nullopt,
                       .grid_margins = std::nullopt,
                       // The page title sits a line above the first panel's own title.
                       .figure_margins = Margins{0.065, 0.965, 0.92, 0.055}},
              .title_size = 16,
              .title_y = 0.98},
    .net_value_title = true,
    .drawdown_title_size = 12,
    .drawdown_legend_columns = 3,
    .compact_yearly_table = false,
    .net_value = {0, 1, 0, 1},
    .drawdown = {1, 2, 0, 1},
    .yearly_table = {2, 3, 0, 1},
};

}  // namespace

const PerformanceLayout& performance_layout(bool tall) { return tall ? kTallPerformance : kWidePerformance; }

const WeeklyLayout& weekly_layout(bool tall) { return tall ? kTallWeekly : kWideWeekly; }

}  // namespace lumora::weightbook
