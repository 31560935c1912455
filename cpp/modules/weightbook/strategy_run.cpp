// A checked strategy run: align and smooth the weights, trade them, build the total frame,
// the statistics, the benchmark summary and, when asked, the two charts.

#include "weightbook/strategy_run.hpp"

#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "common/frame_bridge.hpp"
#include "common/label_bridge.hpp"
#include "lumora/date_window.hpp"
#include "lumora/weight_table.hpp"
#include "weightbook/runner_frames.hpp"
#include "weightbook/strategy_analysis_frames.hpp"
#include "weightbook/strategy_bindings.hpp"
#include "weightbook/vwap_returns.hpp"

namespace lumora::weightbook {

namespace {

void warn(py::handle message) { python::logger().attr("warning")("%s", message); }

// Weights are traded on the rows given: a day without a row is not a day the rebalance is
// held. When rows are missing between the first and the last, say how many and how to hold.
void warn_sparse_rows(py::handle weight_dates, const std::vector<std::int64_t>& known_rows, py::handle market_dates) {
    if (known_rows.size() < 2) return;
    py::object first = weight_dates.attr("__getitem__")(known_rows.front());
    py::object last = weight_dates.attr("__getitem__")(known_rows.back());
    py::list bounds;
    bounds.append(first);
    bounds.append(last);
    const std::vector<std::int64_t> ends = bridge::positions(market_dates, bounds);
    const std::int64_t span = ends[1] - ends[0] + 1;
    const auto given = static_cast<std::int64_t>(known_rows.size());
    if (ends[0] < 0 || ends[1] < 0 || span <= given) return;
    warn(py::str("the weights have rows on {} of the {} trading days from {} to {}: only the rows given are traded "
                 "(each on the next row's date) and the days without a row are left out of the returns; to hold "
                 "each rebalance until the next one, pass lumora.backtest.hold_weights(weights, data)")
             .format(given, span, first, last));
}

// Rows without any weight are left out, so a row of NaN between rebalances never trades
// the exit it was meant to be. Say how many there are and how to write a day in cash.
void warn_rows_without_weights(const WeightedRows& rows, py::handle row_labels) {
    if (rows.empty_between == 0) return;
    warn(py::str("{} weight rows between {} and {} hold no weight at all (every cell NaN) and are left out, so "
                 "nothing is sold on them; write a day in cash as a row of 0.0")
             .format(rows.empty_between, row_labels.attr("__getitem__")(rows.first),
                     row_labels.attr("__getitem__")(rows.last)));
}

}  // namespace

py::object run_strategy(const StrategyRun& run) {
    const py::object& strategy_matrix = run.strategy_matrix;
    const py::handle close_price = run.market_tables[4];
    const py::object& benchmark_dict = run.benchmark_dict;
    const py::object& primary = run.primary;
    const std::int64_t window = run.window;
    const py::object& plot_image_kind = run.plot_image_kind;
    const py::object& plot_save_path = run.plot_save_path;
    const py::object& strategy_name = run.strategy_name;
    const py::object& plot_title = run.plot_title;

    // Weights on the dates and stocks the market knows, without stocks never weighted. Rows
    // are taken in date order and stocks in code order whatever the table's own order, so
    // equal weights give equal results to the last bit; the table is read where it lies.
    py::array_t<bool> row_known(strategy_matrix.attr("index").attr("isin")(close_price.attr("index")));
    py::array_t<bool> col_known(strategy_matrix.attr("columns").attr("isin")(close_price.attr("columns")));
    bridge::TableArray values = bridge::table_values(strategy_matrix, "strategy_matrix");
    WeightTable work{values.view,
                     bridge::ascending_positions(strategy_matrix.attr("index"),
                                                 {row_known.data(), static_cast<std::size_t>(row_known.size())}),
                     bridge::ascending_positions(strategy_matrix.attr("columns"),
                                                 {col_known.data(), static_cast<std::size_t>(col_known.size())})};
    WeightScan scan;
    {
        // No Python inside: reads the weight buffer held by `values` and fills native vectors only.
        py::gil_scoped_release release;
        scan = scan_weights(work);
    }
    if (scan.bad_row >= 0)
        refuse_oversized_weight(strategy_matrix.attr("index"), strategy_matrix.attr("columns"),
                                work.rows[static_cast<std::size_t>(scan.bad_row)],
                                work.cols[static_cast<std::size_t>(scan.bad_col)], work.at(scan.bad_row, scan.bad_col));
    if (scan.max_gross > 1.0 + 1e-9)
        warn(py::str("gross weight reaches {:.4g} on {} (weights are fractions of the capital, so this trades {:.4g}x "
                     "leverage); scale each row to sum to at most 1 unless leverage is meant")
                 .format(
                     scan.max_gross,
                     strategy_matrix.attr("index")[py::int_(work.rows[static_cast<std::size_t>(scan.max_gross_row)])],
                     scan.max_gross));
    warn_sparse_rows(strategy_matrix.attr("index"), work.rows, bridge::ascending(close_price.attr("index")));
    keep_columns(work, scan.weighted_cols);
    auto take_labels = [](py::handle index, const std::vector<std::int64_t>& positions) {
        return index.attr("take")(bridge::index_array(positions));
    };
    py::object row_labels = take_labels(strategy_matrix.attr("index"), work.rows);
    py::object col_labels = take_labels(strategy_matrix.attr("columns"), work.cols);

    std::vector<double> smoothed;
    if (window > 1) {
        std::vector<std::int64_t> kept_rows;
        {
            // No Python inside: reads the weight buffer held by `values` into native vectors only.
            py::gil_scoped_release release;
            smoothed = smooth_weights(work, window, kept_rows);
        }
        row_labels = take_labels(row_labels, kept_rows);
        const auto n_cols = work.n_cols();
        work =
            WeightTable::whole(MatrixView::dense(smoothed.data(), static_cast<std::int64_t>(kept_rows.size()), n_cols));
    }

    std::vector<bool> has_weight;
    {
        // No Python inside: reads `work`, whose buffer (`values` or `smoothed`) this call holds.
        py::gil_scoped_release release;
        has_weight = rows_with_weights(work);
    }
    const WeightedRows weighted = weighted_rows(has_weight);
    if (weighted.last < 0) return empty_result(strategy_name);
    warn_rows_without_weights(weighted, row_labels);

    TradeLog log;
    log.record = run.record_positions;
    py::object daily = daily_vwap_return(work, row_labels, col_labels, run.market_tables, run.costs, &log);
    if (py::len(daily) == 0) return empty_result(strategy_name);
    py::object trade_dates = daily.attr("index");

    // Drop the return of the day after trailing rows without weights.
    const std::string last_signal_date = py::str(row_labels.attr("__getitem__")(weighted.last));
    const RowSelection in_window = select_window(bridge::labels_as_text(daily.attr("index")), "", last_signal_date);
    daily = daily.attr("iloc")[bridge::index_array(in_window.positions)];

    py::dict columns;
    columns["daily_return"] = daily;
    py::object df = bridge::pandas().attr("DataFrame")(columns);
    py::object total_backtesting;
    const bool has_benchmark = !benchmark_dict.is_none() && benchmark_dict.contains(primary);
    if (has_benchmark && py::len(df) > 0) {
        total_backtesting = join_benchmark(df, benchmark_dict[primary]);
    } else {
        total_backtesting = df.attr("copy")();
        total_backtesting[py::str("index_daily_return")] = 0.0;
        total_backtesting[py::str("close")] = 1.0;
    }
    if (py::len(total_backtesting) == 0) return empty_result(strategy_name);

    py::object total = total_backtesting_frame(total_backtesting);
    py::dict stats = stats_mapping(total, &work);
    py::object summary = benchmark_summary_table(benchmark_dict, total);

    py::dict plot_paths;
    const py::object& bm_name = primary;
    if (!plot_image_kind.is_none() && !plot_save_path.is_none()) {
        py::object main_path = py::module_::import("pathlib").attr("Path")(plot_save_path);
        py::str weekly_name = py::str("{}_weekly_net_value{}").format(main_path.attr("stem"), main_path.attr("suffix"));
        py::object weekly_path = main_path.attr("with_name")(weekly_name);
        python::own_attr("plot_strategy_performance")(
            py::arg("total") = total, py::arg("stats") = stats, py::arg("strategy_name") = strategy_name,
            py::arg("plot_title") = plot_title, py::arg("save_path") = main_path,
            py::arg("image_kind") = plot_image_kind, py::arg("benchmark_name") = bm_name,
            py::arg("rolling_window") = window);
        python::own_attr("plot_weekly_net_value")(
            py::arg("total") = total, py::arg("strategy_name") = strategy_name, py::arg("plot_title") = plot_title,
            py::arg("save_path") = weekly_path, py::arg("image_kind") = plot_image_kind,
            py::arg("benchmark_name") = bm_name);
        plot_paths["main"] = py::str(main_path);
        plot_paths["weekly_net_value"] = py::str(weekly_path);
    }

    WeightbookResult r;
    r.strategy_name = strategy_name;
    r.daily_return = total[py::str("daily_return")];
    r.cumulative_return = total[py::str("long")];
    r.stats = stats;
    r.benchmark_summary = summary;
    r.plot_paths = plot_paths;
    if (run.analysis)
        r.analysis =
            strategy_analysis_record(total, {log, trade_dates, col_labels, run.costs.total_money, run.industry_matrix,
                                             has_benchmark ? py::str(primary) : py::str("")});
    if (run.record_positions) {
        r.positions = positions_frame(log, trade_dates, col_labels);
        r.trades = trades_frame(log, trade_dates, col_labels);
    }
    return py::cast(std::move(r));
}

}  // namespace lumora::weightbook
