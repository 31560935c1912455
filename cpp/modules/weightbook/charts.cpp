#include "weightbook/charts.hpp"

#include <string>

#include "chartkit/format.hpp"
#include "chartkit/frames.hpp"
#include "chartkit/style.hpp"
#include "chartkit/yearly_table.hpp"
#include "weightbook/chart_analysis.hpp"
#include "weightbook/chart_frames.hpp"
#include "weightbook/chart_performance.hpp"
#include "weightbook/chart_request.hpp"
#include "weightbook/chart_weekly.hpp"
#include "weightbook/strategy_bindings.hpp"

namespace lumora::weightbook {

namespace py = pybind11;
using namespace pybind11::literals;
using namespace chartkit;

namespace {

void bind_formatters(py::module_& m) {
    m.def(
        "_format_num", [](py::handle value, py::handle digits) { return format_num(value, format_digits(digits)); },
        "value"_a, "digits"_a = 2, "Fixed-point text with `digits` decimals; \"--\" when missing.");
    m.def(
        "_format_pct", [](py::handle value, py::handle digits) { return format_pct(value, format_digits(digits)); },
        "value"_a, "digits"_a = 2, "A ratio as percent text (0.05 -> \"5.00%\"); \"--\" when missing.");
    m.def(
        "_format_pct_points",
        [](py::handle value, py::handle digits) { return format_pct_points(value, format_digits(digits)); }, "value"_a,
        "digits"_a = 2, "Percentage points as percent text (5.0 -> \"5.00%\"); \"--\" when missing.");
    m.def("_format_annual_excess", &format_annual_excess, "annual_excess"_a,
          "Yearly excess ratios as \"2021: 5.12% | 2022: -3.10%\"; \"--\" when there is none.");
}

void bind_metrics(py::module_& m) {
    m.def("_period_return_drawdown_calmar", &period_return_drawdown_calmar, "daily_return"_a,
          "(period_return, max_drawdown, calmar) of daily returns, cumulated additively.");
    m.def("_calc_yearly_performance_metrics", &calc_yearly_performance_metrics, "daily"_a,
          "Per-year return, Sharpe, max drawdown and Calmar of strategy and excess returns.");
    m.def("_build_weekly_net_value_frame", &build_weekly_net_value_frame, "total"_a,
          "Net values of the total frame at the last trading day of each week ending Friday.");
}

void bind_drawing(py::module_& m) {
    m.def(
        "_configure_strategy_plot_style", [](py::handle plt) { configure_strategy_plot_style(plt); }, "plt"_a,
        "Apply the chart style sheet and rcParams to pyplot.");
    m.def(
        "_draw_yearly_metrics_table",
        [](py::handle ax, py::handle yearly_metrics, py::handle compact) {
            draw_yearly_metrics_table(ax, yearly_metrics, py::bool_(py::reinterpret_borrow<py::object>(compact)));
        },
        "ax"_a, "yearly_metrics"_a, py::kw_only(), "compact"_a = false,
        "Draw the yearly metrics table on `ax`; the plot lock must be held.");
    m.def(
        "_plot_strategy_performance_unlocked",
        [](py::object total, py::handle stats, py::handle strategy_name, py::handle plot_title, py::handle save_path,
           py::handle image_kind, py::handle benchmark_name, py::handle rolling_window) {
            plot_strategy_performance_unlocked(performance_request(std::move(total), stats, strategy_name, plot_title,
                                                                   save_path, image_kind, benchmark_name,
                                                                   rolling_window));
        },
        "total"_a, "stats"_a, "strategy_name"_a, "plot_title"_a, "save_path"_a, "image_kind"_a, "benchmark_name"_a,
        "rolling_window"_a, "Draw the performance chart; the plot lock must be held.");
    m.def(
        "_plot_weekly_net_value_unlocked",
        [](py::object total, py::handle strategy_name, py::handle plot_title, py::handle save_path,
           py::handle image_kind, py::handle benchmark_name) {
            plot_weekly_net_value_unlocked(
                weekly_request(std::move(total), strategy_name, plot_title, save_path, image_kind, benchmark_name));
        },
        "total"_a, "strategy_name"_a, "plot_title"_a, "save_path"_a, "image_kind"_a, "benchmark_name"_a,
        "Draw the weekly net value chart; the plot lock must be held.");
}

// The entry points check argument kinds, then draw under the lock through the module's
// own unlocked functions, so the drawing seen by callers is always the bound one.
void bind_entry_points(py::module_& m) {
    m.def(
        "plot_strategy_performance",
        [](py::object total, py::handle stats, py::handle strategy_name, py::handle plot_title, py::handle save_path,
           py::handle image_kind, py::handle benchmark_name, py::handle rolling_window) {
            const ChartRequest request = performance_request(total, stats, strategy_name, plot_title, save_path,
                                                             image_kind, benchmark_name, rolling_window);
            {
                const PlotLockHold hold;
                python::own_attr("_plot_strategy_performance_unlocked")(
                    "total"_a = total, "stats"_a = stats, "strategy_name"_a = strategy_name,
                    "plot_title"_a = plot_title, "save_path"_a = save_path, "image_kind"_a = image_kind,
                    "benchmark_name"_a = benchmark_name, "rolling_window"_a = request.rolling_window);
            }
            return py::dict("main"_a = request.save_path);
        },
        "total"_a, "stats"_a, "strategy_name"_a = "strategy", "plot_title"_a = py::none(),
        "save_path"_a = "./strategy_backtest.png", "image_kind"_a = "large", "benchmark_name"_a = "000852",
        "rolling_window"_a = 0, "Draw the strategy performance chart under the plot lock; returns {\"main\": path}.");
    m.def(
        "plot_weekly_net_value",
        [](py::object total, py::handle strategy_name, py::handle plot_title, py::handle save_path,
           py::handle image_kind, py::handle benchmark_name) {
            const ChartRequest request =
                weekly_request(total, strategy_name, plot_title, save_path, image_kind, benchmark_name);
            {
                const PlotLockHold hold;
                python::own_attr("_plot_weekly_net_value_unlocked")(
                    "total"_a = total, "strategy_name"_a = strategy_name, "plot_title"_a = plot_title,
                    "save_path"_a = save_path, "image_kind"_a = image_kind, "benchmark_name"_a = benchmark_name);
            }
            return py::dict("weekly_net_value"_a = request.save_path);
        },
        "total"_a, "strategy_name"_a = "strategy", "plot_title"_a = py::none(),
        "save_path"_a = "./strategy_weekly_net_value.png", "image_kind"_a = "large", "benchmark_name"_a = "000852",
        "Draw the weekly net value chart under the plot lock; returns {\"weekly_net_value\": path}.");
    m.def(
        "plot_strategy_analysis",
        [](py::handle analysis, py::handle daily_return, py::handle save_path, py::handle title) {
            const PlotLockHold hold;
            return plot_strategy_analysis_unlocked(analysis, daily_return, save_path, title);
        },
        "analysis"_a, "daily_return"_a, "save_path"_a, "title"_a = "strategy",
        "Draw the strategy analysis page of a StrategyAnalysis under the plot lock; returns the path.");
}

}  // namespace

void register_charts(py::module_& m) {
    install_plot_lock(m);
    bind_formatters(m);
    bind_metrics(m);
    bind_drawing(m);
    bind_entry_points(m);
}

}  // namespace lumora::weightbook
