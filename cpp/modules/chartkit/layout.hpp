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

// The wide landscape page of the performance and group charts: a row of cards, two rows of
// plotting panels and a row of tables on a 4 x 3 grid.
inline constexpr std::array<double, 4> kWidePanelPageHeights{0.78, 2.75, 2.35, 1.95};
inline constexpr std::array<double, 3> kWidePanelPageWidths{1.12, 1.12, 1.0};
inline constexpr PageFrame kWidePanelPage{
    .width_in = 21.5,
    .height_in = 12.6,
    .dpi = 165,
    .grid = {.rows = 4,
             .cols = 3,
             .height_ratios = kWidePanelPageHeights,
             .width_ratios = kWidePanelPageWidths,
             .hspace = 0.3,
             // A panel's right-hand twin axis and the next panel's left-hand axis share this
             // gap; below 0.3 their labels collide as soon as the ticks carry decimals
             // (short backtests).
             .wspace = 0.3,
             .grid_margins = Margins{0.045, 0.955, 0.915, 0.045},
             .figure_margins = std::nullopt},
    .title_size = 15,
    .title_y = 0.975,
};

// Every page kind other than the exact text "large" is the tall page.
inline bool is_tall_page(std::string_view image_kind) { return image_kind != "large"; }

}  // namespace lumora::chartkit
