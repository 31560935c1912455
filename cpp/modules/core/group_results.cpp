// The factor group backtest of a checked request: the native run, its frames, the Rank IC,
// the per-benchmark summary and the charts.

#include "core/group_results.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <memory>
#include <string>

#include "common/frame_bridge.hpp"
#include "common/label_bridge.hpp"
#include "common/market_bridge.hpp"
#include "common/summary_bridge.hpp"
#include "core/factor_analysis_frames.hpp"
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
    // Dates and stocks in ascending order whatever the tables' own order, so equal data gives
    // equal results to the last bit (the tables' labels are normalised by the bindings).
    py::object dates = bridge::ascending(rq.close_price_valid.attr("index"));
    py::object stocks = bridge::ascending(rq.close_price_valid.attr("columns"));
    // The factor is read in place through its label positions, unless it is smoothed.
    bridge::AlignedTable factor_table = bridge::aligned_table(rq.factor_matrix, dates, stocks, "factor_matrix");
    std::vector<double> smoothed;
    if (window > 1) {
        std::vector<std::int64_t> kept;
        {
            // No Python inside: reads the factor's numpy buffer (held by factor_table) into native vectors.
            py::gil_scoped_release release;
            smoothed = smoothed_factor(factor_table.matrix, window, kept);
        }
        dates = dates.attr("take")(bridge::index_array(kept));
        const auto n_stocks = factor_table.matrix.cols();
        factor_table.matrix.view = MatrixView::dense(smoothed.data(), static_cast<std::int64_t>(kept.size()), n_stocks);
        factor_table.matrix.row_pos = bridge::all_positions(static_cast<std::int64_t>(kept.size()));
        factor_table.matrix.col_pos = bridge::all_positions(n_stocks);
    }
    in.factor = factor_table.matrix;

    bridge::AlignedTable valid =
        bridge::aligned_table(rq.close_price_valid, dates, stocks, "close_price_valid", bridge::Cells::Flags);
    in.valid = valid.matrix;
    bridge::MarketTables market =
        bridge::align_market({rq.can_buy_stock, rq.cant_sell_stock, rq.split_factor, rq.dividend_factor, rq.close_price,
                              rq.prev_close, rq.buy_price, rq.sell_price},
                             dates, stocks);
    in.market = &market.arrays;
    std::unique_ptr<bridge::AlignedTable> forward;
    py::array opens_keep;  // holds the open prices `opens` reads
    if (!rq.forward_return_rank_cache.is_none()) {
        forward = std::make_unique<bridge::AlignedTable>(
            bridge::aligned_table(rq.forward_return_rank_cache, dates, stocks, "forward_return_rank_cache"));
    } else if (!rq.open_price.is_none()) {
        forward =
            std::make_unique<bridge::AlignedTable>(bridge::aligned_table(rq.open_price, dates, stocks, "open_price"));
        in.forward_from_open = true;
    }
    if (forward) in.forward = &forward->matrix;
    in.analysis = rq.analysis;
    ForwardOpens opens;
    if (rq.analysis && !rq.open_price.is_none()) {
        // The opens and the tables of their adjustment, each in the open table's own calendar.
        bridge::AlignedTable open = bridge::aligned_table(rq.open_price, dates, stocks, "open_price");
        py::object open_dates = rq.open_price.attr("index");
        bridge::AlignedTable own = bridge::aligned_table(rq.open_price, open_dates, stocks, "open_price");
        bridge::AlignedTable close = bridge::aligned_table(rq.close_price, open_dates, stocks, "close_price");
        bridge::AlignedTable split = bridge::aligned_table(rq.split_factor, open_dates, stocks, "split_factor");
        bridge::AlignedTable dividend =
            bridge::aligned_table(rq.dividend_factor, open_dates, stocks, "dividend_factor");
        {
            // No Python inside, nor in the worker threads it starts: reads numpy buffers held by the
            // aligned tables, writes only `opens`.
            py::gil_scoped_release release;
            opens.adjusted = adjusted_opens(own.matrix, close.matrix, split.matrix, dividend.matrix);
        }
        opens.open = std::move(open.matrix);
        opens_keep = std::move(open.keep);
        in.opens = &opens;
    }

    GroupOutputs out;
    {
        // No Python inside, nor in the worker threads it starts: reads numpy buffers held by the
        // aligned tables above, writes only `out`.
        py::gil_scoped_release release;
        out = run_group_backtest(in);
    }
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
