#pragma once
// A chart page of panels on a grid, drawn and saved the same way by every chart that has
// one (the performance, group and analysis pages), the card page the strategy performance
// page and the factor group page share, and the tables those pages show.

#include <pybind11/pybind11.h>

#include <array>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "chartkit/layout.hpp"
#include "chartkit/style.hpp"

namespace lumora::chartkit {

namespace py = pybind11;

struct PagePanel {
    Cells cells;
    std::function<void(py::handle ax)> draw;
    bool plot;  // a plotting panel, finished with grid lines and no top or right frame
};

// A panel's drawing function bound to the page context it reads (which outlives the page).
template <class Context>
std::function<void(py::handle)> bind_panel(const Context& context, void (*draw)(const Context&, py::handle)) {
    return [&context, draw](py::handle ax) { draw(context, ax); };
}

// A panel's drawing function over the page context it reads.
template <class Context>
using PanelDraw = void (*)(const Context&, py::handle ax);

// The drawing functions of a card page (see CardPageLayout), in the order of its layout.
template <class Context>
struct CardPageDraws {
    PanelDraw<Context> cards;
    PanelDraw<Context> cumulative;
    std::array<PanelDraw<Context>, 4> plots;
    PanelDraw<Context> summary_table;
    PanelDraw<Context> yearly_table;
};

// A figure of `frame` with its title; the panels are added to the grid in order, then drawn
// in order, the plotting ones finished, and the page saved at `path` (see save_figure). The
// figure is closed on every way out.
void draw_panel_page(const Pyplot& mpl, const PageFrame& frame, const std::string& title,
                     std::span<const PagePanel> panels, const std::string& path);

// A card page drawn and saved as draw_panel_page does: the cards and the tables are plain
// panels, the cumulative panel and the page's own four plots are plotting panels.
template <class Context>
void draw_card_page(const Pyplot& mpl, const CardPageLayout& layout, const Context& context,
                    const CardPageDraws<Context>& draws, const std::string& title, const std::string& path) {
    std::vector<PagePanel> panels{{layout.cards, bind_panel(context, draws.cards), false},
                                  {layout.cumulative, bind_panel(context, draws.cumulative), true}};
    for (std::size_t i = 0; i < layout.plots.size(); ++i)
        panels.push_back({layout.plots[i], bind_panel(context, draws.plots[i]), true});
    panels.push_back({layout.summary_table, bind_panel(context, draws.summary_table), false});
    panels.push_back({layout.yearly_table, bind_panel(context, draws.yearly_table), false});
    draw_panel_page(mpl, layout.frame, title, panels, path);
}

// The "Metric | Value" table of a page's figures, left-aligned; `row_lines` gives the text
// lines of each row (empty: one each). The room it is given always holds the header and
// one line per row.
void draw_summary_table(py::handle ax, const std::vector<std::vector<std::string>>& rows,
                        const SummaryTableStyle& style, std::vector<int> row_lines = {});

// ---- the analysis pages: the factor and the strategy analysis share one wide page style

// A panel's title on an analysis page.
void panel_title(py::handle ax, const std::string& text);

// One figure of a record's summary mapping.
double summary_figure(const py::dict& summary, const char* key);

// The monthly heatmap under its title: `values` years x months, row-major; the type is
// smaller once there are more than eight years.
void draw_monthly_heatmap(py::handle ax, const std::string& title, std::vector<double> values,
                          const std::vector<std::string>& years, std::span<const char* const> months, bool percent,
                          int digits);

// A table of figures filling a panel under its title: centred cells in the house style, one
// text line a row, room for at least `standard_lines` lines.
void draw_figures_table(py::handle ax, const std::string& title, const std::vector<std::vector<std::string>>& rows,
                        std::vector<std::string> headers, std::vector<double> col_widths, double font_size,
                        double row_scale, int standard_lines);

}  // namespace lumora::chartkit
