#pragma once
// The vocabulary of every chart page: the house colours, grid line style, page margins,
// grid placement of a panel and the rule that picks a page kind. Each chart keeps its own
// page layouts as data built from these types, so drawing code reads numbers and never
// branches on the page kind itself. Plain data: no Python headers.

#include <array>
#include <optional>
#include <span>
#include <string_view>

namespace lumora::chartkit {

namespace palette {
inline constexpr const char* kStrategy = "#2563eb";
inline constexpr const char* kBenchmark = "#111827";
inline constexpr const char* kExcess = "#ef4444";
inline constexpr const char* kFigureTitle = "#111827";
inline constexpr const char* kReferenceLine = "#94a3b8";
inline constexpr const char* kGrid = "#e5e7eb";
inline constexpr const char* kStrategyDrawdown = "#bfdbfe";
inline constexpr const char* kBenchmarkDrawdown = "#d1d5db";
inline constexpr const char* kExcessDrawdown = "#fecaca";
inline constexpr const char* kRollingSharpe = "#7c3aed";
inline constexpr const char* kRollingWinRate = "#16a34a";
inline constexpr const char* kExcessBarLabel = "#991b1b";
inline constexpr const char* kInk = "#0f172a";
inline constexpr const char* kMutedInk = "#64748b";
inline constexpr const char* kCardFace = "white";
inline constexpr const char* kCardEdge = "#d6dbe6";
inline constexpr const char* kTableEdge = "#e2e8f0";
inline constexpr const char* kTableHeaderFace = "#eef2ff";
inline constexpr const char* kTableOddRowFace = "white";
inline constexpr const char* kTableEvenRowFace = "#f8fafc";
inline constexpr const char* kTableStrategyText = "#1d4ed8";
inline constexpr const char* kTableExcessText = "#b91c1c";
}  // namespace palette

// Grid lines of the plotting panels.
inline constexpr double kGridLineWidth = 0.75;
inline constexpr double kGridAlpha = 0.84;
inline constexpr double kLegendFrameAlpha = 0.92;

struct Margins {
    double left;
    double right;
    double top;
    double bottom;
};

// A block of grid cells as half-open row and column ranges (Python slices).
struct Cells {
    int row_begin;
    int row_end;
    int col_begin;
    int col_end;
};

struct GridLayout {
    int rows;
    int cols;
    std::span<const double> height_ratios;
    std::span<const double> width_ratios;  // empty: equal widths
    double hspace;
    std::optional<double> wspace;
    std::optional<Margins> grid_margins;    // page margins given to the grid itself
    std::optional<Margins> figure_margins;  // page margins set on the figure (subplots_adjust)
};

// What every page kind has: its size and resolution, its panel grid and its title.
struct PageFrame {
    double width_in;
    double height_in;
    int dpi;
    GridLayout grid;
    double title_size;
    double title_y;
};

// The "Metric | Value" summary table of a page: column widths (fractions of the panel),
// type size and row height scale.
struct SummaryTableStyle {
    std::array<double, 2> col_widths;
    double font_size;
    double row_scale;
};

// Type sizes of a panel page's titles, twin-axis labels and cards.
struct PanelText {
    double panel_title_size;
    double twin_label_size;
    double card_value_size;
    double card_label_size;
};

// The text of every wide page.
inline constexpr PanelText kWidePanelText{
    .panel_title_size = 11.5, .twin_label_size = 9, .card_value_size = 12.2, .card_label_size = 8.0};

// The wide landscape page of every panel chart: a row of cards, two rows of plotting panels
// and a row of tables, one row per entry of `heights`, on three columns. Pages differ only
// in resolution, row and column proportions and the gap between rows.
constexpr PageFrame wide_panel_page(int dpi, std::span<const double> heights, std::span<const double> widths,
                                    double hspace) {
    return {
        .width_in = 21.5,
        .height_in = 12.6,
        .dpi = dpi,
        .grid = {.rows = static_cast<int>(heights.size()),
                 .cols = 3,
                 .height_ratios = heights,
                 .width_ratios = widths,
                 .hspace = hspace,
                 // A panel's right-hand twin axis and the next panel's left-hand axis share this
                 // gap; below 0.3 their labels collide as soon as the ticks carry decimals
                 // (short backtests).
                 .wspace = 0.3,
                 .grid_margins = Margins{0.045, 0.955, 0.915, 0.045},
                 .figure_margins = std::nullopt},
        .title_size = 15,
        .title_y = 0.975,
    };
}

// The tall portrait page of the performance and group charts: one row per entry of
// `heights` on two columns, `height_in` tall; `top` is the figure margin above the first
// row and `title_y` the height of the page title.
constexpr PageFrame tall_panel_page(double height_in, std::span<const double> heights, double top, double title_y) {
    return {
        .width_in = 15.5,
        .height_in = height_in,
        .dpi = 145,
        .grid = {.rows = static_cast<int>(heights.size()),
                 .cols = 2,
                 .height_ratios = heights,
                 .width_ratios = {},
                 .hspace = 0.42,
                 .wspace = 0.22,
                 .grid_margins = std::nullopt,
                 .figure_margins = Margins{0.06, 0.94, top, 0.035}},
        .title_size = 17,
        .title_y = title_y,
    };
}

// The page the strategy performance chart and the factor group chart share: a row of
// cards, the cumulative panel, four plotting panels of the page's own, the "Metric | Value"
// summary table and the yearly table.
struct CardPageLayout {
    PageFrame frame;
    PanelText text;
    SummaryTableStyle summary;
    bool compact_yearly_table;
    Cells cards;
    Cells cumulative;
    std::array<Cells, 4> plots;  // the page's own plotting panels, in drawing order
    Cells summary_table;
    Cells yearly_table;
};

inline constexpr std::array<double, 4> kWideCardPageHeights{0.78, 2.75, 2.35, 1.95};
inline constexpr std::array<double, 3> kWideCardPageWidths{1.12, 1.12, 1.0};

// The wide card page on a 4 x 3 grid: cards across the top, the cumulative panel and the
// first plot, then the other three plots, then the two tables.
inline constexpr CardPageLayout kWideCardPage{
    .frame = wide_panel_page(165, kWideCardPageHeights, kWideCardPageWidths, 0.3),
    .text = kWidePanelText,
    .summary = {.col_widths = {0.4, 0.6}, .font_size = 8.6, .row_scale = 1.18},
    .compact_yearly_table = true,
    .cards = {0, 1, 0, 3},
    .cumulative = {1, 2, 0, 2},
    .plots = {{{1, 2, 2, 3}, {2, 3, 0, 1}, {2, 3, 1, 2}, {2, 3, 2, 3}}},
    .summary_table = {3, 4, 0, 1},
    .yearly_table = {3, 4, 1, 3},
};

// The tall card page: cards and the cumulative panel across the top two rows; where the
// plots and tables go, and the summary table's column widths, are the page's own.
constexpr CardPageLayout tall_card_page(const PageFrame& frame, std::array<double, 2> summary_widths,
                                        const std::array<Cells, 4>& plots, Cells summary_table, Cells yearly_table) {
    return {
        .frame = frame,
        .text = {.panel_title_size = 12.5, .twin_label_size = 10, .card_value_size = 13, .card_label_size = 8.5},
        .summary = {.col_widths = summary_widths, .font_size = 9.4, .row_scale = 1.28},
        .compact_yearly_table = false,
        .cards = {0, 1, 0, 2},
        .cumulative = {1, 2, 0, 2},
        .plots = plots,
        .summary_table = summary_table,
        .yearly_table = yearly_table,
    };
}

// Every page kind other than the exact text "large" is the tall page.
inline bool is_tall_page(std::string_view image_kind) { return image_kind != "large"; }

}  // namespace lumora::chartkit
