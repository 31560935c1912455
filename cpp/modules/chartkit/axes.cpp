#include "chartkit/axes.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <span>

namespace lumora::chartkit {

using namespace pybind11::literals;

namespace {

py::list as_list(std::span<const double> values) {
    py::list out;
    for (const double v : values) out.append(v);
    return out;
}

}  // namespace

Page create_page(const Pyplot& mpl, const PageFrame& frame) {
    const GridLayout& grid = frame.grid;
    py::object figure = mpl.plt.attr("figure")("figsize"_a = py::make_tuple(frame.width_in, frame.height_in),
                                               "constrained_layout"_a = false);
    py::dict options("height_ratios"_a = as_list(grid.height_ratios), "hspace"_a = grid.hspace);
    if (!grid.width_ratios.empty()) options["width_ratios"] = as_list(grid.width_ratios);
    if (grid.wspace) options["wspace"] = *grid.wspace;
    if (grid.grid_margins) {
        options["left"] = grid.grid_margins->left;
        options["right"] = grid.grid_margins->right;
        options["top"] = grid.grid_margins->top;
        options["bottom"] = grid.grid_margins->bottom;
    }
    if (grid.figure_margins) {
        const Margins& m = *grid.figure_margins;
        figure.attr("subplots_adjust")("left"_a = m.left, "right"_a = m.right, "top"_a = m.top, "bottom"_a = m.bottom);
    }
    py::object gridspec = figure.attr("add_gridspec")(grid.rows, grid.cols, **options);
    return {figure, gridspec};
}

py::object add_panel(const Page& page, const Cells& cells, py::handle share_x) {
    py::object cell = page.grid[py::make_tuple(py::slice(cells.row_begin, cells.row_end, 1),
                                               py::slice(cells.col_begin, cells.col_end, 1))];
    if (share_x.is_none()) return page.figure.attr("add_subplot")(cell);
    return page.figure.attr("add_subplot")(cell, "sharex"_a = share_x);
}

void figure_title(const Page& page, const std::string& text, const PageFrame& frame) {
    page.figure.attr("suptitle")(text, "fontsize"_a = frame.title_size, "fontweight"_a = "bold",
                                 "color"_a = palette::kFigureTitle, "y"_a = frame.title_y);
}

void reference_line(py::handle ax, double y, double width) {
    ax.attr("axhline")(y, "color"_a = palette::kReferenceLine, "linewidth"_a = width);
}

void percent_ticks(const Pyplot& mpl, py::handle ax) {
    ax.attr("yaxis").attr("set_major_formatter")(mpl.percent_formatter(1.0));
}

py::object twin_axis_below(py::handle ax) {
    py::object twin = ax.attr("twinx")();
    twin.attr("set_zorder")(ax.attr("get_zorder")() - py::int_(1));
    ax.attr("patch").attr("set_visible")(false);
    return twin;
}

void finish_twin_axis(const Pyplot& mpl, py::handle twin, const char* label, double label_size) {
    twin.attr("set_ylabel")(label, "fontsize"_a = label_size);
    percent_ticks(mpl, twin);
    twin.attr("grid")(false);
    twin.attr("spines")["top"].attr("set_visible")(false);
}

void combined_legend(py::handle ax, py::handle twin, const char* loc, double font_size, int columns) {
    py::tuple main = ax.attr("get_legend_handles_labels")();
    py::tuple second = twin.attr("get_legend_handles_labels")();
    py::object handles = main[0] + second[0];
    py::object labels = main[1] + second[1];
    py::dict options("loc"_a = loc, "frameon"_a = true, "framealpha"_a = kLegendFrameAlpha, "fontsize"_a = font_size);
    if (columns != 1) options["ncol"] = columns;
    ax.attr("legend")(handles, labels, **options);
}

void align_twin_zero(py::handle ax, py::handle twin) {
    py::tuple limits = ax.attr("get_ylim")();
    const double lo = limits[0].cast<double>(), hi = limits[1].cast<double>();
    if (!(lo < 0.0 && hi > 0.0)) return;
    py::tuple own = twin.attr("get_ylim")();
    const double own_lo = std::min(own[0].cast<double>(), 0.0), own_hi = std::max(own[1].cast<double>(), 0.0);
    const double below = -lo / (hi - lo);  // share of the height under zero
    const double span = std::max(-own_lo / below, own_hi / (1.0 - below));
    if (!(span > 0.0)) return;
    twin.attr("set_ylim")(-below * span, (1.0 - below) * span);
}

void framed_legend(py::handle ax, const char* loc, py::handle font_size, int columns) {
    py::dict options("loc"_a = loc, "frameon"_a = true, "framealpha"_a = kLegendFrameAlpha);
    if (!font_size.is_none()) options["fontsize"] = font_size;
    if (columns != 1) options["ncol"] = columns;
    ax.attr("legend")(**options);
}

void finish_plot_panel(py::handle ax) {
    ax.attr("grid")(true, "color"_a = palette::kGrid, "linewidth"_a = kGridLineWidth, "alpha"_a = kGridAlpha);
    ax.attr("spines")["top"].attr("set_visible")(false);
    ax.attr("spines")["right"].attr("set_visible")(false);
}

void centred_note(py::handle ax, const char* text) {
    ax.attr("text")(0.5, 0.5, text, "ha"_a = "center", "va"_a = "center", "transform"_a = ax.attr("transAxes"));
}

namespace {

// Height of one text line of a table row (ax.table sizes its cells for its default
// 10-point type, before any font size or scale is applied), as a fraction of the panel.
double unscaled_line_height(py::handle table) {
    return table.attr("get_celld")()[py::make_tuple(0, 0)].attr("get_height")().cast<double>();
}

double panel_height_points(py::handle ax) {
    const double fraction = ax.attr("get_position")().attr("height").cast<double>();
    return fraction * ax.attr("figure").attr("get_figheight")().cast<double>() * 72.0;
}

int body_lines(const TableSpec& spec, std::size_t row) {
    return row < spec.row_lines.size() ? std::max(1, spec.row_lines[row]) : 1;
}

// Text of one line needs its size plus matplotlib's line spacing within a row.
constexpr double kLinePitch = 1.25;

}  // namespace

py::object draw_table(py::handle ax, const TableSpec& spec) {
    py::object table =
        ax.attr("table")("cellText"_a = spec.rows, "colLabels"_a = spec.headers, "loc"_a = "center",
                         "cellLoc"_a = spec.cell_align, "colLoc"_a = spec.cell_align, "colWidths"_a = spec.col_widths);
    int lines = 1;
    for (std::size_t r = 0; r < spec.rows.size(); ++r) lines += body_lines(spec, r);
    const double line = unscaled_line_height(table);
    const double room = std::max(1.0, static_cast<double>(spec.standard_lines) * line * spec.row_scale);
    const double scale = std::min(spec.row_scale, room / (static_cast<double>(lines) * line));
    const double font_size = std::min(spec.font_size, line * scale * panel_height_points(ax) / kLinePitch);

    table.attr("auto_set_font_size")(false);
    table.attr("set_fontsize")(font_size);
    table.attr("scale")(1.0, scale);
    py::dict cells = table.attr("get_celld")();
    for (auto [key, cell] : cells) {
        py::tuple position = py::reinterpret_borrow<py::tuple>(key);
        const int row = position[0].cast<int>();
        const int column = position[1].cast<int>();
        cell.attr("set_edgecolor")(palette::kTableEdge);
        if (row == 0) {
            cell.attr("set_text_props")("weight"_a = "bold", "color"_a = palette::kInk);
            cell.attr("set_facecolor")(palette::kTableHeaderFace);
            continue;
        }
        const int row_lines = body_lines(spec, static_cast<std::size_t>(row - 1));
        if (row_lines > 1) cell.attr("set_height")(cell.attr("get_height")().cast<double>() * row_lines);
        cell.attr("set_facecolor")(row % 2 == 1 ? palette::kTableOddRowFace : palette::kTableEvenRowFace);
        const char* colour = spec.body_text_colour ? spec.body_text_colour(column) : nullptr;
        if (colour != nullptr) cell.attr("get_text")().attr("set_color")(colour);
    }
    return table;
}

double text_width_points(const std::string& text, double font_size) {
    py::object font = py::module_::import("matplotlib.font_manager").attr("FontProperties")("size"_a = font_size);
    py::tuple extent = py::module_::import("matplotlib.textpath")
                           .attr("text_to_path")
                           .attr("get_text_width_height_descent")(text, font, "ismath"_a = false);
    return extent[0].cast<double>();
}

double table_text_width_points(py::handle ax, double col_width_fraction) {
    const double axes_width = ax.attr("get_position")().attr("width").cast<double>();
    const double figure_width_in = ax.attr("figure").attr("get_figwidth")().cast<double>();
    const double padding = py::module_::import("matplotlib.table").attr("Cell").attr("PAD").cast<double>();
    return axes_width * figure_width_in * 72.0 * col_width_fraction * (1.0 - 2.0 * padding);
}

void concise_date_axis(py::handle ax) {
    // Below this many days the automatic locator moves on to hourly ticks, which a daily
    // series never has: every series these charts draw holds one value per trading day.
    constexpr double kShortestAutomaticSpan = 7.0;
    py::module_ dates = py::module_::import("matplotlib.dates");
    py::tuple span = ax.attr("dataLim").attr("intervalx");
    const double first = span[0].cast<double>(), last = span[1].cast<double>();
    if (!std::isfinite(first) || !std::isfinite(last)) {
        ax.attr("set_xticks")(py::list());  // nothing drawn: no invented dates
        return;
    }
    py::object locator = dates.attr("AutoDateLocator")();
    if (last - first < 1.0) {
        // A single day: in the middle of a one-day span, labelled with its full date (a
        // concise label of one tick would show its time of day).
        ax.attr("set_xlim")(first - 0.5, last + 0.5);
        ax.attr("xaxis").attr("set_major_locator")(dates.attr("DayLocator")());
        ax.attr("xaxis").attr("set_major_formatter")(dates.attr("DateFormatter")("%Y-%m-%d"));
        return;
    }
    if (last - first < kShortestAutomaticSpan) locator = dates.attr("DayLocator")();
    ax.attr("xaxis").attr("set_major_locator")(locator);
    ax.attr("xaxis").attr("set_major_formatter")(dates.attr("ConciseDateFormatter")(locator));
}

py::object date_axis_values(py::handle frame) { return frame.attr("index").attr("to_numpy")(); }

}  // namespace lumora::chartkit
