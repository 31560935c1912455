#pragma once
// Sizes, grid placement and colours of the factor group chart pages. The two page kinds
// ("large": wide landscape; any other kind: tall portrait) differ only in these numbers.
// Plain data: no Python headers.

#include <array>

#include "chartkit/layout.hpp"

namespace lumora::core {

namespace group_palette {
// Group 1 to group N are drawn along this ramp, so the ordering of the lines and bars
// reads at a glance and the two ends stay apart.
inline constexpr std::array<const char*, 5> kRamp{"#1e40af", "#0891b2", "#16a34a", "#ca8a04", "#dc2626"};
inline constexpr const char* kLongShort = "#0f766e";
inline constexpr const char* kLongShortDrawdown = "#99f6e4";
// Gains and losses in the house colours of every chart, the rolling line in its ink.
inline constexpr const char* kPositiveIc = chartkit::palette::kStrategy;
inline constexpr const char* kNegativeIc = chartkit::palette::kExcess;
inline constexpr const char* kRollingIc = chartkit::palette::kBenchmark;
inline constexpr const char* kCumulativeIc = "#7c3aed";
}  // namespace group_palette

// The card page with the group chart's own plots: annual return by group, long-short, the
// best group's excess return and the rank IC.
struct GroupPageLayout {
    chartkit::CardPageLayout page;
    double legend_size;
    int ic_legend_columns;
    double bar_label_size;
    int max_group_ticks;  // at most this many group numbers under the bars
};

const GroupPageLayout& group_page_layout(bool tall);

}  // namespace lumora::core
