#include "core/group_charts_layout.hpp"

namespace lumora::core {

namespace {

constexpr std::array<double, 6> kTallHeights{0.7, 3.2, 2.7, 2.8, 2.7, 2.0};

constexpr GroupPageLayout kWidePage{
    .page = chartkit::kWideCardPage,
    .legend_size = 8.0,
    .ic_legend_columns = 2,
    .bar_label_size = 7.2,
    .max_group_ticks = 20,
};

// Annual returns beside long-short, the rank IC across the page, the best group's excess
// beside the summary table, the yearly table last.
constexpr GroupPageLayout kTallPage{
    .page = chartkit::tall_card_page(chartkit::tall_panel_page(30.0, kTallHeights, 0.962, 0.985), {0.36, 0.64},
                                     {{{2, 3, 0, 1}, {2, 3, 1, 2}, {4, 5, 0, 1}, {3, 4, 0, 2}}}, {4, 5, 1, 2},
                                     {5, 6, 0, 2}),
    .legend_size = 9.0,
    .ic_legend_columns = 4,
    .bar_label_size = 7.6,
    .max_group_ticks = 25,
};

}  // namespace

const GroupPageLayout& group_page_layout(bool tall) { return tall ? kTallPage : kWidePage; }

}  // namespace lumora::core
