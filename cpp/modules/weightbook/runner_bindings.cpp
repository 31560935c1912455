// run_strategy_backtest_core, the total frame, the statistics and the result record.

#include <pybind11/numpy.h>

#include <optional>
#include <string>

#include "common/frame_bridge.hpp"
#include "common/market_bridge.hpp"
#include "lumora/strategy_stats.hpp"
#include "lumora/total_frame.hpp"
#include "weightbook/strategy_bindings.hpp"

namespace lumora::weightbook {

namespace {

const char* const kResultFields[] = {"strategy_name", "daily_return",      "cumulative_return",
                                     "stats",         "benchmark_summary", "plot_paths"};

// The internal result record of a strategy run.
struct WeightbookResult {
    py::object strategy_name, daily_return, cumulative_return, stats, benchmark_summary, plot_paths;
};

py::array_t<double> column_values(py::handle frame, const char* name) {
    py::object column = frame[py::str(name)];
    return py::array_t<double, py::array::c_style | py::array::forcecast>(
        column.attr("to_numpy")(py::arg("dtype") = "float64"));
}

py::array_t<double> as_array(const std::vector<double>& v) { return bridge::vector_array(v); }

py::dict nan_stats() {
    py::dict out;
    for (std::string_view key : kEmptyStatKeys) out[py::str(std::string(key))] = kNaN;
    return out;
}

}  // namespace

py::object total_backtesting_frame(py::handle total_backtesting) {
    py::object total = total_backtesting.attr("dropna")();
    const auto n = static_cast<std::size_t>(py::len(total));
    if (n == 0) return total;
    const py::array_t<double> daily = column_values(total, "daily_return");
    const py::array_t<double> index_daily = column_values(total, "index_daily_return");
    const bool has_close = py::bool_(total.attr("columns").attr("__contains__")("close"));
    std::optional<py::array_t<double>> close;
    if (has_close) close = column_values(total, "close");

    TotalFrame t = build_total_frame(daily.data(), index_daily.data(), close ? close->data() : nullptr, n);
    total[py::str("extra_daily_return")] = as_array(t.extra_daily_return);
    total[py::str("long")] = as_array(t.long_nav);
    if (!has_close) total[py::str("close")] = as_array(t.close);
    total[py::str("close_net_value")] = as_array(t.close_net_value);
    total[py::str("max_drowdown")] = as_array(t.max_drowdown);
    total[py::str("extra_return")] = as_array(t.extra_return);
    total[py::str("extra_max_drowdown")] = as_array(t.extra_max_drowdown);
    return total;
}

py::dict stats_mapping(py::handle total_frame, const WeightTable* weights) {
    py::object total = total_frame.attr("dropna")();
    const auto n = static_cast<std::size_t>(py::len(total));
    if (n == 0) return nan_stats();
    const char* names[8] = {"daily_return",    "index_daily_return", "extra_daily_return", "long",
                            "close_net_value", "max_drowdown",       "extra_return",       "extra_max_drowdown"};
    py::array_t<double> cols[8];
    for (int k = 0; k < 8; ++k) cols[k] = column_values(total, names[k]);
    TotalColumns t{cols[0].data(), cols[1].data(), cols[2].data(),
                   cols[3].data(), cols[4].data(), cols[5].data(),
                   cols[6].data(), cols[7].data(), n};
    std::array<double, kStatCount> values;
    {
        // No Python inside: reads the eight column arrays held in `cols` and the native `weights`.
        py::gil_scoped_release release;
        values = strategy_stats(t, weights);
    }
    py::dict out;
    for (std::size_t k = 0; k < kStatCount; ++k) out[py::str(std::string(kStatKeys[k]))] = values[k];
    return out;
}

namespace {

py::dict calc_strategy_stats(py::object total_frame, py::object signal_df) {
    if (signal_df.is_none()) return stats_mapping(total_frame, nullptr);
    bridge::TableArray values = bridge::table_values(signal_df);
    const WeightTable weights = WeightTable::whole(values.view);
    return stats_mapping(total_frame, &weights);
}

// The excess of the strategy over every benchmark of the mapping that shares dates with it.
py::object benchmark_summary_table(py::handle benchmark_dict, py::handle total) {
    py::list rows;
    if (!benchmark_dict.is_none() && py::len(benchmark_dict) > 0) {
        const py::array_t<double> strategy = column_values(total, "daily_return");
        py::object dates = total.attr("index");
        for (auto item : py::reinterpret_borrow<py::dict>(benchmark_dict)) {
            py::object series = py::reinterpret_borrow<py::object>(item.second);
            const std::vector<std::int64_t> pos = bridge::positions(series.attr("index"), dates);
            py::array_t<double, py::array::c_style | py::array::forcecast> values(series.attr("to_numpy")(
                py::arg("dtype") = "float64", py::arg("na_value") = bridge::numpy().attr("nan")));
            std::vector<double> strat, bench;
            for (std::size_t i = 0; i < pos.size(); ++i) {
                if (pos[i] < 0) continue;
                const double v = values.data()[pos[i]];
                if (std::isnan(v)) continue;
                strat.push_back(strategy.data()[i]);
                bench.push_back(v);
            }
            if (bench.empty()) continue;
            const ExcessSummary s = excess_summary(strat, bench);
            py::dict row;
            row["benchmark_name"] = item.first;
            row["benchmark_annual_return"] = s.benchmark_annual_return;
            row["excess_annual_return"] = s.excess_annual_return;
            row["excess_sharpe"] = s.excess_sharpe;
            row["excess_max_dd"] = s.excess_max_dd;
            rows.append(row);
        }
    }
    if (rows.empty()) return bridge::pandas().attr("DataFrame")();
    return bridge::pandas().attr("DataFrame")(rows);
}

// Benchmark level and daily return over the strategy's dates (inner join on the labels).
py::object join_benchmark(py::handle daily_frame, py::handle benchmark) {
    py::array_t<double, py::array::c_style | py::array::forcecast> raw(
        benchmark.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = bridge::numpy().attr("nan")));
    const auto n = static_cast<std::size_t>(raw.size());
    std::vector<double> bm_daily(n), close(n);
    double level = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = raw.data()[i];
        bm_daily[i] = std::isfinite(v) ? v : 0.0;
        level += bm_daily[i];
        close[i] = level + 1.0;
    }
    const std::vector<std::string> bm_labels = bridge::labels_as_text(benchmark.attr("index"));
    py::object dates = daily_frame.attr("index");
    const std::vector<std::string> df_labels = bridge::labels_as_text(dates);
    const std::vector<std::int64_t> pos = bridge::positions(benchmark.attr("index"), dates);
    const std::string& first = df_labels.front();
    const std::string& last = df_labels.back();
    std::vector<std::int64_t> keep_rows;
    std::vector<double> close_out, daily_out;
    for (std::size_t i = 0; i < pos.size(); ++i) {
        if (pos[i] < 0) continue;
        const std::string& label = bm_labels[static_cast<std::size_t>(pos[i])];
        if (label < first || label > last) continue;
        keep_rows.push_back(static_cast<std::int64_t>(i));
        close_out.push_back(close[static_cast<std::size_t>(pos[i])]);
        daily_out.push_back(bm_daily[static_cast<std::size_t>(pos[i])]);
    }
    py::array_t<std::int64_t> take(static_cast<py::ssize_t>(keep_rows.size()));
    std::copy(keep_rows.begin(), keep_rows.end(), take.mutable_data());
    py::object joined = daily_frame.attr("iloc")[take].attr("copy")();
    joined[py::str("close")] = as_array(close_out);
    joined[py::str("index_daily_return")] = as_array(daily_out);
    return joined;
}

py::object empty_result(py::handle strategy_name) {
    WeightbookResult r;
    py::object empty = bridge::empty_float_series();
    r.strategy_name = py::reinterpret_borrow<py::object>(strategy_name);
    r.daily_return = empty;
    r.cumulative_return = empty;
    r.stats = nan_stats();
    r.benchmark_summary = bridge::pandas().attr("DataFrame")();
    r.plot_paths = py::dict();
    return py::cast(std::move(r));
}

void check_text_or_none(py::handle value, const char* name) {
    if (!value.is_none() && !bridge::is_str(value))
        bridge::raise_type_error(std::string(name) + " must be text or None");
}

void warn(py::handle message) { py::module_::import("lumora.logger").attr("logger").attr("warning")("%s", message); }

// The benchmark the charts and statistics compare against: a name as given, the first
// listed name the mapping holds (else the first listed), or for None the mapping's first.
py::object primary_benchmark(py::handle benchmark_dict, py::handle names) {
    const bool has_dict = !benchmark_dict.is_none() && py::len(benchmark_dict) > 0;
    if (bridge::is_str(names)) return py::reinterpret_borrow<py::object>(names);
    if (PyList_Check(names.ptr()) || PyTuple_Check(names.ptr())) {
        for (py::handle name : names)
            if (has_dict && benchmark_dict.contains(name)) return py::reinterpret_borrow<py::object>(name);
        if (py::len(names) > 0) return py::str(py::reinterpret_borrow<py::object>(names)[py::int_(0)]);
    } else if (!names.is_none() && !bridge::is_str(names)) {
        bridge::raise_type_error("benchmark_names must be text, a list of text or None, got " +
                                 bridge::type_name(names));
    }
    if (has_dict) return py::reinterpret_borrow<py::object>(*py::iter(benchmark_dict));
    return py::str("000852");
}

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

py::object run_strategy_backtest_core(py::object strategy_matrix, py::object can_buy_stock, py::object cant_sell_stock,
                                      py::object split_factor, py::object dividend_factor, py::object close_price,
                                      py::object prev_close, py::object buy_price, py::object sell_price,
                                      py::object benchmark_dict, py::object benchmark_names, py::object rolling_window,
                                      py::object total_money, py::object fee, py::object rule_fee,
                                      py::object plot_image_kind, py::object plot_save_path, py::object strategy_name,
                                      py::object plot_title) {
    if (!benchmark_dict.is_none() && !PyDict_Check(benchmark_dict.ptr()))
        bridge::raise_type_error("benchmark_dict must be a dict or None, got " + bridge::type_name(benchmark_dict));
    if (!bridge::is_str(strategy_name)) bridge::raise_type_error("strategy_name must be text");
    check_text_or_none(plot_image_kind, "plot_image_kind");
    check_text_or_none(plot_title, "plot_title");
    bridge::require_table(strategy_matrix, "strategy_matrix");
    bridge::require_market_tables({can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price,
                                   prev_close, buy_price, sell_price});
    const std::int64_t window = bridge::to_truncated_int(rolling_window, "rolling_window", 0);
    const TradeCosts costs = checked_costs(total_money, fee, rule_fee);
    py::object primary = primary_benchmark(benchmark_dict, benchmark_names);

    // Weights on the dates and stocks the market knows, without stocks never weighted.
    py::array_t<bool> row_known(strategy_matrix.attr("index").attr("isin")(close_price.attr("index")));
    py::array_t<bool> col_known(strategy_matrix.attr("columns").attr("isin")(close_price.attr("columns")));
    bridge::TableArray values = bridge::table_values(strategy_matrix);
    WeightTable work{values.view, {}, {}};
    for (py::ssize_t i = 0; i < row_known.size(); ++i)
        if (row_known.data()[i]) work.rows.push_back(i);
    for (py::ssize_t j = 0; j < col_known.size(); ++j)
        if (col_known.data()[j]) work.cols.push_back(j);
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
    warn_sparse_rows(strategy_matrix.attr("index"), work.rows, close_price.attr("index"));
    {
        std::vector<std::int64_t> kept;
        for (std::size_t j = 0; j < scan.weighted_cols.size(); ++j)
            if (scan.weighted_cols[j]) kept.push_back(work.cols[j]);
        work.cols = std::move(kept);
    }
    auto take_labels = [](py::handle index, const std::vector<std::int64_t>& positions) {
        py::array_t<std::int64_t> take(static_cast<py::ssize_t>(positions.size()));
        std::copy(positions.begin(), positions.end(), take.mutable_data());
        return index.attr("take")(take);
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
    std::int64_t last_valid = -1;
    for (std::size_t i = 0; i < has_weight.size(); ++i)
        if (has_weight[i]) last_valid = static_cast<std::int64_t>(i);
    if (last_valid < 0) return empty_result(strategy_name);

    py::object daily = daily_vwap_return(
        work, row_labels, col_labels,
        {can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price, prev_close, buy_price, sell_price},
        costs);
    if (py::len(daily) == 0) return empty_result(strategy_name);

    // Drop the return of the day after trailing rows without weights.
    const std::string last_signal_date = py::str(row_labels.attr("__getitem__")(last_valid));
    const std::vector<std::string> daily_labels = bridge::labels_as_text(daily.attr("index"));
    std::vector<std::int64_t> in_window;
    for (std::size_t i = 0; i < daily_labels.size(); ++i)
        if (daily_labels[i] <= last_signal_date) in_window.push_back(static_cast<std::int64_t>(i));
    daily = daily.attr("iloc")[take_labels(bridge::numpy().attr("arange")(daily_labels.size()), in_window)];

    py::dict columns;
    columns["daily_return"] = daily;
    py::object df = bridge::pandas().attr("DataFrame")(columns);
    py::object total_backtesting;
    if (!benchmark_dict.is_none() && benchmark_dict.contains(primary) && py::len(df) > 0) {
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
    py::module_ self = py::module_::import("lumora.backtest._weightbook");
    if (!plot_image_kind.is_none() && !plot_save_path.is_none()) {
        py::object main_path = py::module_::import("pathlib").attr("Path")(plot_save_path);
        py::str weekly_name = py::str("{}_weekly_net_value{}").format(main_path.attr("stem"), main_path.attr("suffix"));
        py::object weekly_path = main_path.attr("with_name")(weekly_name);
        self.attr("plot_strategy_performance")(py::arg("total") = total, py::arg("stats") = stats,
                                               py::arg("strategy_name") = strategy_name,
                                               py::arg("plot_title") = plot_title, py::arg("save_path") = main_path,
                                               py::arg("image_kind") = plot_image_kind,
                                               py::arg("benchmark_name") = bm_name, py::arg("rolling_window") = window);
        self.attr("plot_weekly_net_value")(py::arg("total") = total, py::arg("strategy_name") = strategy_name,
                                           py::arg("plot_title") = plot_title, py::arg("save_path") = weekly_path,
                                           py::arg("image_kind") = plot_image_kind,
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
    return py::cast(std::move(r));
}

}  // namespace

void register_runner(py::module_& m) {
    py::class_<WeightbookResult>(m, "_WeightbookResult", "Internal result record of a strategy backtest.")
        .def(py::init([](py::object strategy_name, py::object daily_return, py::object cumulative_return,
                         py::object stats, py::object benchmark_summary, py::object plot_paths) {
                 return WeightbookResult{strategy_name, daily_return,      cumulative_return,
                                         stats,         benchmark_summary, plot_paths};
             }),
             py::kw_only(), py::arg("strategy_name"), py::arg("daily_return"), py::arg("cumulative_return"),
             py::arg("stats"), py::arg("benchmark_summary"), py::arg("plot_paths"))
        .def_readwrite("strategy_name", &WeightbookResult::strategy_name)
        .def_readwrite("daily_return", &WeightbookResult::daily_return)
        .def_readwrite("cumulative_return", &WeightbookResult::cumulative_return)
        .def_readwrite("stats", &WeightbookResult::stats)
        .def_readwrite("benchmark_summary", &WeightbookResult::benchmark_summary)
        .def_readwrite("plot_paths", &WeightbookResult::plot_paths)
        .def("__repr__", [](const WeightbookResult& r) {
            return py::str("_WeightbookResult(strategy_name={!r}, days={}, plot_paths={!r})")
                .format(r.strategy_name, py::len(r.daily_return), r.plot_paths);
        });
    m.attr("_WeightbookResult").attr("_fields") = py::make_tuple(kResultFields[0], kResultFields[1], kResultFields[2],
                                                                 kResultFields[3], kResultFields[4], kResultFields[5]);

    m.def("run_strategy_backtest_core", &run_strategy_backtest_core, py::arg("strategy_matrix"),
          py::arg("can_buy_stock"), py::arg("cant_sell_stock"), py::arg("split_factor"), py::arg("dividend_factor"),
          py::arg("close_price"), py::arg("prev_close"), py::arg("buy_price"), py::arg("sell_price"),
          py::arg("benchmark_dict") = py::none(), py::arg("benchmark_names") = "000852", py::arg("rolling_window") = 0,
          py::arg("total_money") = 1e8, py::arg("fee") = 0.0001, py::arg("rule_fee") = 0.0005,
          py::arg("plot_image_kind") = "large", py::arg("plot_save_path") = py::none(),
          py::arg("strategy_name") = "strategy", py::arg("plot_title") = py::none(),
          "Strategy backtest: align, smooth, daily VWAP returns, total frame, statistics, benchmark\n"
          "summary and, when asked, the two charts.");
    m.def("_build_total_backtesting_frame", &total_backtesting_frame, py::arg("total_backtesting"),
          "Total frame (net values, drawdowns, excess) of daily_return / index_daily_return [/ close].");
    m.def("calc_strategy_stats", &calc_strategy_stats, py::arg("total_frame"), py::arg("signal_df"),
          "Statistics mapping of a total frame and its target-weight table.");
}

}  // namespace lumora::weightbook
