#include "core/group_charts_layout.hpp"

namespace lumora::core {

namespace {

using chartkit::Margins;

constexpr std::array<double, 6> kTallHeights{0.7, 3.2, 2.7, 2.8, 2.7, 2.0};

constexpr GroupPageLayout kWidePage{
    .frame = chartkit::kWidePanelPage,
    .panel_title_size = 11.5,
    .twin_label_size = 9,
    .card_value_size = 12.2,
    .card_label_size = 8.0,
    .legend_size = 8.0,
    .group_legend_columns = 2,
    .ic_legend_columns = 2,
    .bar_label_size = 7.2,
    .max_bar_labels = 20,
    .max_group_ticks = 20,
    .summary = {.col_widths = {0.4, 0.6}, .font_size = 8.6, .row_scale = 1.18},
    .compact_yearly_table = true,
    .cards = {0, 1, 0, 3},
    .cumulative = {1, 2, 0, 2},
    .annual_returns = {1, 2, 2, 3},
    .long_short = {2, 3, 0, 1},
    .excess = {2, 3, 1, 2},
    .rank_ic = {2, 3, 2, 3},
    .summary_table = {3, 4, 0, 1},
    .yearly_table = {3, 4, 1, 3},
};

constexpr GroupPageLayout kTallPage{
    .frame = {.width_in = 15.5,
              .height_in = 30.0,
              .dpi = 145,
              .grid = {.rows = 6,
                       .cols = 2,
                       .height_ratios = kTallHeights,
                       .width_ratios = {},
                       .hspace = 0.42,
                       .wspace = 0.22,
                       .grid_margins = std::nullopt,
                       .figure_margins = Margins{0.06, 0.94, 0.962, 0.035}},
              .title_size = 17,
              .title_y = 0.985},
    .panel_title_size = 12.5,
    .twin_label_size = 10,
    .card_value_size = 13,
    .card_label_size = 8.5,
    .legend_size = 9.0,
    .group_legend_columns = 2,
    .ic_legend_columns = 4,
    .bar_label_size = 7.6,
    .max_bar_labels = 20,
    .max_group_ticks = 25,
    .summary = {.col_widths = {0.36, 0.64}, .font_size = 9.4, .row_scale = 1.28},
    .compact_yearly_table = false,
    .cards = {0, 1, 0, 2},
    .cumulative = {1, 2, 0, 2},
    .annual_returns = {2, 3, 0, 1},
    .long_short = {2, 3, 1, 2},
    .excess = {4, 5, 0, 1},
    .rank_ic = {3, 4, 0, 2},
    .summary_table = {4, 5, 1, 2},
    .yearly_table = {5, 6, 0, 2},
};

}  // namespace

const GroupPageLayout& group_page_layout(bool tall) { return tall ? kTallPage : kWidePage; }

}  // namespace lumora::core
