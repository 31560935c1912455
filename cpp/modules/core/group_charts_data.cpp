#include "core/group_charts_data.hpp"

#include <pybind11/numpy.h>

#include <cmath>

#include "chartkit/axes.hpp"
#include "chartkit/frames.hpp"
#include "common/frame_bridge.hpp"
#include "lumora/series_arithmetic.hpp"
#include "lumora/sharpe.hpp"
#include "lumora/strategy_stats.hpp"

namespace lumora::core {

namespace {

constexpr std::size_t kIcRollingDays = 20;
constexpr std::size_t kMinIcRollingDays = 5;

// Columns of a dates x groups frame.
std::vector<std::vector<double>> group_columns(py::handle frame, int groups) {
    py::array_t<double, py::array::c_style | py::array::forcecast> values(
        frame.attr("to_numpy")(py::arg("dtype") = "float64"));
    const auto rows = static_cast<std::size_t>(values.shape(0));
    std::vector<std::vector<double>> out(static_cast<std::size_t>(groups), std::vector<double>(rows));
    const double* p = values.data();
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t g = 0; g < out.size(); ++g) out[g][r] = *p++;
    return out;
}

void add_long_short(GroupSeries& s) {
    const std::vector<double> spread = long_short_returns(s.daily.back(), s.daily.front());
    s.long_short_annual = annual_mean(spread);
    s.long_short_nav = running_sum(spread);
    for (double& v : s.long_short_nav) v += 1.0;
    s.long_short_drawdown = drawdown_from_running_peak(s.long_short_nav);
}

void add_rank_ic(GroupSeries& s, py::handle rank_ic) {
    s.ic = chartkit::float_values(rank_ic, "rank_ic");
    s.ic_stats = ic_figures(s.ic);
    if (s.ic.empty()) return;
    s.ic_dates = chartkit::date_axis_values(chartkit::with_datetime_index(rank_ic, python::own_module()));
    s.ic_cumulative = running_sum(s.ic);
    s.ic_window = rolling_days(s.ic.size(), kIcRollingDays, kMinIcRollingDays);
    s.ic_rolling = rolling_mean(s.ic, s.ic_window);
}

// The benchmark's returns on the traded dates; NaN where it has none (infinities too).
std::vector<double> returns_on(py::handle returns, py::handle labels) {
    std::vector<double> out = bridge::values_on(returns, labels, "benchmark_dict");
    for (double& v : out)
        if (!std::isfinite(v)) v = kNaN;
    return out;
}

// The best group against the benchmark as a strategy total frame (rows where either has
// no return are dropped), indexed by datetimes.
py::object best_group_total_frame(const GroupSeries& s, const std::vector<double>& benchmark) {
    py::dict columns;
    columns["daily_return"] = bridge::vector_array(s.daily[static_cast<std::size_t>(s.best)]);
    columns["index_daily_return"] = bridge::vector_array(benchmark);
    py::object raw = bridge::pandas().attr("DataFrame")(columns, py::arg("index") = s.labels);
    py::object total = python::build_total_backtesting_frame()(raw);
    return chartkit::with_datetime_index(total, python::own_module());
}

}  // namespace

GroupSeries group_series(const GroupResult& result) {
    GroupSeries s;
    py::object cumulative = result.group_cumulative_return;
    py::object dated = chartkit::with_datetime_index(cumulative, python::own_module());
    s.labels = cumulative.attr("index");
    s.dates = chartkit::date_axis_values(dated);
    s.date_range = chartkit::date_range_text(dated);
    s.days = py::len(cumulative);
    s.groups = static_cast<int>(py::len(cumulative.attr("columns")));
    s.best = result.best_group.cast<int>() - 1;
    s.returns = group_columns(cumulative, s.groups);
    for (auto& column : s.returns)
        for (double& v : column) v -= 1.0;
    s.daily = group_columns(result.group_daily_return, s.groups);
    for (const auto& column : s.daily) s.annual.push_back(annual_mean(column));
    add_long_short(s);
    add_rank_ic(s, result.rank_ic);
    return s;
}

BenchmarkSeries benchmark_series(const GroupSeries& groups, py::handle name, py::handle returns, py::dict summary_row) {
    BenchmarkSeries b;
    b.name = py::str(name);
    b.summary = std::move(summary_row);
    const std::vector<double> daily = returns_on(returns, groups.labels);
    b.cumulative = running_sum(daily);
    b.annual = b.summary["benchmark_annual_return"].cast<double>();
    py::object plot_df = best_group_total_frame(groups, daily);
    if (py::len(plot_df) == 0) {
        // No date with both returns: no excess to draw, and an empty yearly table.
        b.yearly_metrics = bridge::pandas().attr("DataFrame")();
        return b;
    }
    b.excess_dates = chartkit::date_axis_values(plot_df);
    b.excess = chartkit::float_column(plot_df, "extra_return");
    b.excess_drawdown = chartkit::float_column(plot_df, "extra_max_drowdown");
    b.yearly_metrics = chartkit::chart_yearly_metrics(plot_df);
    return b;
}

}  // namespace lumora::core
