// The factor group backtest of a checked request: the native run, its frames, the Rank IC,
// the per-benchmark summary and the charts.

#include "core/group_results.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <memory>
#include <string>

#include "common/frame_bridge.hpp"
#include "common/market_bridge.hpp"
#include "common/summary_bridge.hpp"
#include "core/factor_analysis_frames.hpp"
#include "core/group_run.hpp"
#include "lumora/group_summary.hpp"

namespace lumora::core {

namespace {

constexpr int kSmallGroupSize = 5;

// Groups of a handful of stocks make every statistic noise; say so once with the average
// size of the groups on the dates that were ranked.
void warn_small_groups(const GroupOutputs& out) {
    const double average = average_group_size(out);
    if (std::isnan(average) || average >= kSmallGroupSize) return;
    python::logger().attr("warning")(
        "factor groups hold %.1f stocks on average (fewer than %d): the group returns are mostly "
        "noise; use fewer groups (group_num) or a wider universe",
        average, kSmallGroupSize);
}

}  // namespace

py::object run_group_request(const GroupRequest& rq, GroupInputs in, std::int64_t window,
                             const GroupChartRequest& chart_request, const py::list& chosen) {
    const int groups = in.group_num;
    GroupRun run;
    run_group(rq, in, window, run);
    const GroupOutputs& out = run.out;
    py::object dates = run.dates;
    warn_small_groups(out);

    // Frames: traded dates x groups 1..N.
    const std::vector<std::int64_t> traded = traded_rows(out);
    const auto T = static_cast<py::ssize_t>(traded.size());
    py::array_t<double> daily({T, static_cast<py::ssize_t>(groups)});
    py::array_t<double> cumulative({T, static_cast<py::ssize_t>(groups)});
    group_net_values(out, traded, daily.mutable_data(), cumulative.mutable_data());
    py::object trade_dates = dates.attr("take")(bridge::index_array(traded));
    py::list group_labels;
    for (int g = 1; g <= groups; ++g) group_labels.append(g);
    py::object group_index = bridge::pandas().attr("Index")(group_labels, py::arg("name") = "group");
    auto result = std::make_unique<GroupResult>();
    result->group_daily_return = bridge::frame(daily, trade_dates, group_index);
    result->group_cumulative_return = bridge::frame(cumulative, trade_dates, group_index);

    const RankIcSeries ic = rank_ic_series(out);
    result->rank_ic = bridge::series(bridge::vector_array(ic.values), dates.attr("take")(bridge::index_array(ic.rows)),
                                     py::str("rank_ic"));

    // Best group: the highest final cumulative return.
    const int best = best_group(cumulative.data(), T, groups);
    result->best_group = best < 0 ? py::object(py::float_(kNaN)) : py::object(py::int_(best + 1));

    // Per selected benchmark: best group, long-short and excess figures, and the IC.
    const IcFigures ic_stats = ic_figures(ic.values);
    py::list rows;
    if (best >= 0) {
        const BestGroupFigures figures = best_group_figures(out, traded, best);
        for (py::handle name : chosen) {
            const std::vector<double> benchmark =
                bridge::values_on(rq.benchmark_dict[name], trade_dates, "benchmark_dict");
            py::dict row;
            row["benchmark_name"] = name;
            row["best_group"] = best + 1;
            row["best_group_annual_return"] = figures.best_annual_return;
            row["long_short_annual_return"] = figures.long_short_annual_return;
            bridge::put_excess(row, best_group_excess(figures.best_daily, benchmark));
            row["rank_ic_mean"] = ic_stats.mean;
            row["ic_ir"] = ic_stats.ir;
            rows.append(row);
        }
    }
    result->summary = rows.empty() ? bridge::pandas().attr("DataFrame")() : bridge::pandas().attr("DataFrame")(rows);
    result->benchmarks = chosen;
    result->analysis = rq.analysis ? factor_analysis_record(out, dates, traded) : py::none();
    result->plot_paths = draw_group_charts(chart_request, *result, rq.benchmark_dict, rows);
    return py::cast(std::move(*result));
}

}  // namespace lumora::core
