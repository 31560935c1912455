#include "weightbook/chart_weekly.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "chartkit/axes.hpp"
#include "chartkit/frames.hpp"
#include "chartkit/layout.hpp"
#include "chartkit/style.hpp"
#include "chartkit/yearly_table.hpp"
#include "lumora/series_arithmetic.hpp"
#include "weightbook/chart_frames.hpp"
#include "weightbook/chart_layout.hpp"

namespace lumora::weightbook {

using namespace pybind11::literals;
using namespace chartkit;

namespace {

struct WeeklySeries {
    py::object weeks;  // datetime64 x values
    std::vector<double> strategy_nav, benchmark_nav, excess_nav;
    std::vector<double> strategy_dd, benchmark_dd, excess_dd;
};

WeeklySeries collect_series(py::handle weekly) {
    WeeklySeries s;
    s.weeks = date_axis_values(weekly);
    s.strategy_nav = float_column(weekly, "long");
    s.benchmark_nav = float_column(weekly, "close_net_value");
    s.excess_nav = float_column(weekly, "extra_net_value");
    s.strategy_dd = drawdown_from_running_peak(s.strategy_nav);
    s.benchmark_dd = drawdown_from_running_peak(s.benchmark_nav);
    s.excess_dd = drawdown_from_running_peak(s.excess_nav);
    return s;
}

void draw_net_values(const WeeklyLayout& layout, const ChartRequest& request, const WeeklySeries& s, py::handle ax) {
    ax.attr("plot")(s.weeks, as_array(s.strategy_nav), "color"_a = palette::kStrategy, "linewidth"_a = 2.4,
                    "label"_a = "Strategy");
    ax.attr("plot")(s.weeks, as_array(s.benchmark_nav), "color"_a = palette::kBenchmark, "linewidth"_a = 1.8,
                    "linestyle"_a = "--", "label"_a = request.benchmark_name);
    ax.attr("plot")(s.weeks, as_array(s.excess_nav), "color"_a = palette::kExcess, "linewidth"_a = 2.0,
                    "alpha"_a = 0.92, "label"_a = "Excess");
    reference_line(ax, 1.0, 0.9);
    ax.attr("set_ylabel")("Net Value");
    if (layout.net_value_title) ax.attr("set_title")("Weekly Net Value");
    framed_legend(ax, "best");
}

void draw_drawdowns(const Pyplot& mpl, const WeeklyLayout& layout, const ChartRequest& request, const WeeklySeries& s,
                    py::handle ax) {
    ax.attr("fill_between")(s.weeks, as_array(s.strategy_dd), 0.0, "color"_a = palette::kStrategyDrawdown,
                            "alpha"_a = 0.58, "label"_a = "Strategy Drawdown");
    ax.attr("plot")(s.weeks, as_array(s.benchmark_dd), "color"_a = palette::kBenchmark, "linewidth"_a = 1.25,
                    "alpha"_a = 0.76, "label"_a = request.benchmark_name + " Drawdown");
    ax.attr("plot")(s.weeks, as_array(s.excess_dd), "color"_a = palette::kExcess, "linewidth"_a = 1.45,
                    "alpha"_a = 0.86, "label"_a = "Excess Drawdown");
    reference_line(ax, 0.0, 0.8);
    ax.attr("set_title")("Weekly Drawdown", "fontsize"_a = layout.drawdown_title_size);
    ax.attr("set_ylabel")("Drawdown");
    percent_ticks(mpl, ax);
    // Where the curves and the shading are not: a deep drawdown fills the lower corners.
    framed_legend(ax, "best", py::none(), layout.drawdown_legend_columns);
}

}  // namespace

void plot_weekly_net_value_unlocked(const ChartRequest& request) {
    const Pyplot mpl = drawing_preamble();
    py::object plot_df = with_datetime_index(request.total);
    py::object weekly = weekly_net_value_frame_of(plot_df);
    if (weekly.attr("empty").cast<bool>()) return;
    // Daily returns, not weekly values: the same table as on the performance chart.
    py::object yearly_metrics = chart_yearly_metrics(plot_df);
    const WeeklySeries series = collect_series(weekly);

    const WeeklyLayout& layout = weekly_layout(is_tall_page(request.image_kind));
    const Page page = create_page(mpl, layout.frame);
    const FigureCloser closer(mpl.plt, page.figure);
    py::object ax_nav = add_panel(page, layout.net_value);
    py::object ax_dd = add_panel(page, layout.drawdown, ax_nav);
    py::object ax_yearly_table = add_panel(page, layout.yearly_table);

    figure_title(page, request.title_text() + " | Benchmark " + request.benchmark_name + " | Weekly Net Value",
                 layout.frame);
    draw_net_values(layout, request, series, ax_nav);
    draw_drawdowns(mpl, layout, request, series, ax_dd);
    draw_yearly_metrics_table(ax_yearly_table, yearly_metrics, layout.compact_yearly_table);
    concise_date_axis(ax_nav);  // shared with the drawdown panel
    finish_plot_panel(ax_nav);
    finish_plot_panel(ax_dd);
    save_figure(page.figure, request.save_path, layout.frame.dpi);
}

}  // namespace lumora::weightbook
