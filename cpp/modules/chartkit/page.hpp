#pragma once
// A chart page of panels on a grid, drawn and saved the same way by every chart that has
// one (the strategy performance page and the factor group page), and the "Metric | Value"
// summary table those pages show.

#include <pybind11/pybind11.h>

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

// A figure of `frame` with its title; the panels are added to the grid in order, then drawn
// in order, the plotting ones finished, and the page saved at `path` (see save_figure). The
// figure is closed on every way out.
void draw_panel_page(const Pyplot& mpl, const PageFrame& frame, const std::string& title,
                     std::span<const PagePanel> panels, const std::string& path);

// The "Metric | Value" table of a page's figures, left-aligned; `row_lines` gives the text
// lines of each row (empty: one each). The room it is given always holds the header and
// one line per row.
void draw_summary_table(py::handle ax, const std::vector<std::vector<std::string>>& rows,
                        const SummaryTableStyle& style, std::vector<int> row_lines = {});

}  // namespace lumora::chartkit
