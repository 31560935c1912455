#pragma once
// What every chart does around its drawing: hold the plot lock, select the non-interactive
// backend, apply the house style, save the figure so that the file appears whole or not at
// all (its folder made first), and close it.

#include <pybind11/pybind11.h>

#include <string>

namespace lumora::chartkit {

namespace py = pybind11;

// pyplot and the percent tick formatter class, ready after the preamble.
struct Pyplot {
    py::module_ plt;
    py::object percent_formatter;
};

// `_configure_strategy_plot_style(plt)`: the whitegrid style sheet when this matplotlib
// has it, then the house rcParams (which therefore win over the sheet).
void configure_strategy_plot_style(py::handle plt);

// Agg backend (on every call), pyplot, PercentFormatter, house style. Lock held.
Pyplot drawing_preamble();

// The one process-wide re-entrant lock around every use of matplotlib, shared by every
// module that draws. The strategy module makes it when it loads and keeps it as its
// `_MATPLOTLIB_PLOT_LOCK` (never replaced); `plot_lock` hands it out from there. The group
// core reaches it only when it draws: the strategy module imports the core when it loads.
void install_plot_lock(py::module_& strategy_module);
py::object plot_lock();

// Holds the plot lock for one chart (or several); released on every way out, errors included.
class PlotLockHold {
public:
    PlotLockHold();
    PlotLockHold(const PlotLockHold&) = delete;
    PlotLockHold& operator=(const PlotLockHold&) = delete;
    ~PlotLockHold();

private:
    py::object lock_;
};

// Closes the figure when the drawing is over, also when it failed part-way, so that no
// half-drawn figure stays registered with pyplot.
class FigureCloser {
public:
    FigureCloser(py::module_ plt, py::object figure) : plt_(std::move(plt)), figure_(std::move(figure)) {}
    FigureCloser(const FigureCloser&) = delete;
    FigureCloser& operator=(const FigureCloser&) = delete;
    ~FigureCloser();

private:
    py::module_ plt_;
    py::object figure_;
};

// Writes the figure through `lumora._atomicio.write_atomic`: a hidden file beside `path`,
// synced and renamed into place, so a reader (or a crash) never sees a half-written chart.
// The folder of `path` is made when it is missing: a page drawn after a long backtest must
// not fail on a folder not made yet.
// The format follows the suffix of `path` (matplotlib's default format when there is none),
// and the file is written exactly at `path`: matplotlib on its own would append ".png" to a
// name without suffix.
void save_figure(py::handle figure, const std::string& path, int dpi);

}  // namespace lumora::chartkit
