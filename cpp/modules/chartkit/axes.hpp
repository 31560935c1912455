#pragma once
// Small matplotlib steps shared by the panels of every chart: page and grid creation,
// reference lines, percentage ticks, twin axes, combined legends, the panel finish and
// the striped table style.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <vector>

#include "chartkit/layout.hpp"
#include "chartkit/style.hpp"

namespace lumora::chartkit {

namespace py = pybind11;

// A figure of the layout's size with its grid and page margins. Margins set on the
// figure are applied before any panel exists: the saved page is the same as when they
// are applied just before saving, and the panels know their final size while drawing.
struct Page {
    py::object figure;
    py::object grid;
};
Page create_page(const Pyplot& mpl, const PageFrame& frame);

py::object add_panel(const Page& page, const Cells& cells, py::handle share_x = py::none());

void figure_title(const Page& page, const std::string& text, const PageFrame& frame);

void reference_line(py::handle ax, double y, double width);
void percent_ticks(const Pyplot& mpl, py::handle ax);

// The twin y axis carrying drawdowns (or a second measure) of a panel. It lies beneath
// the panel (whose background is hidden), so the panel's lines and its legend are drawn
// over the twin's shading rather than under it.
py::object twin_axis_below(py::handle ax);
void finish_twin_axis(const Pyplot& mpl, py::handle twin, const char* label, double label_size);

// One legend on `ax` with the handles of `ax` and then of `twin`.
void combined_legend(py::handle ax, py::handle twin, const char* loc, double font_size, int columns = 1);

// Sets the twin's limits so that its zero sits at the height of the zero of `ax` and its
// own lines stay in view; nothing when the range of `ax` does not hold zero.
void align_twin_zero(py::handle ax, py::handle twin);
void framed_legend(py::handle ax, const char* loc, py::handle font_size = py::none(), int columns = 1);

// Grid lines and no top or right frame: the finish of every plotting panel.
void finish_plot_panel(py::handle ax);

// Text centred in the axes, used for "not enough data" notes.
void centred_note(py::handle ax, const char* text);

// An `ax.table` with the house cell style: edges, a bold header row, striped body rows.
// `body_text_colour` picks a text colour per body column (nullptr keeps the default).
//
// A table never outgrows the room it is given: rows are scaled by `row_scale` unless the
// table would then be taller than `room` (a fraction of the panel height), in which case
// the rows shrink to fit, and the type with them once it would no longer fit a row.
// `room` of 0 means the panel itself, or the height the table has with `standard_lines`
// lines when that is more.
struct TableSpec {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> headers;
    std::vector<double> col_widths;
    const char* cell_align;
    double font_size;
    double row_scale;
    std::function<const char*(int column)> body_text_colour;
    std::vector<int> row_lines;  // text lines per body row; empty: one each
    int standard_lines = 0;      // header and body lines the room is always large enough for
};
py::object draw_table(py::handle ax, const TableSpec& spec);

// Width in points of `text` in the sans-serif chart font at `font_size`.
double text_width_points(const std::string& text, double font_size);

// Width in points of the text area of a table column (cell width less its padding).
double table_text_width_points(py::handle ax, double col_width_fraction);

// Date ticks that stay apart on any span: years on a decade, "Jan 12 14 ..." on weeks, and
// one tick per day on a span of a few days (never hours: every series drawn is daily);
// call it once the panel's data are drawn.
void concise_date_axis(py::handle ax);

// Datetime64 values of a frame's index for the x axis.
py::object date_axis_values(py::handle frame);

}  // namespace lumora::chartkit
