// run_strategy_backtest_core, the total frame builder and the statistics: conversion and checks.

#include <string>

#include "common/frame_bridge.hpp"
#include "common/label_bridge.hpp"
#include "common/market_bridge.hpp"
#include "weightbook/runner_frames.hpp"
#include "weightbook/strategy_bindings.hpp"
#include "weightbook/strategy_run.hpp"

namespace lumora::weightbook {

namespace {

const char* const kResultFields[] = {"strategy_name", "daily_return",      "cumulative_return",
                                     "stats",         "benchmark_summary", "plot_paths"};

void check_text_or_none(py::handle value, const char* name) {
    if (!value.is_none() && !bridge::is_str(value))
        bridge::raise_type_error(std::string(name) + " must be text or None");
}

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

py::dict calc_strategy_stats(py::object total_frame, py::object signal_df) {
    if (signal_df.is_none()) return stats_mapping(total_frame, nullptr);
    bridge::TableArray values = bridge::table_values(signal_df, "signal_df");
    const WeightTable weights = WeightTable::whole(values.view);
    return stats_mapping(total_frame, &weights);
}

py::object run_strategy_backtest_core(py::object strategy_matrix, py::object can_buy_stock, py::object cant_sell_stock,
                                      py::object split_factor, py::object dividend_factor, py::object close_price,
                                      py::object prev_close, py::object buy_price, py::object sell_price,
                                      py::object benchmark_dict, py::object benchmark_names, py::object rolling_window,
                                      py::object total_money, py::object fee, py::object rule_fee,
                                      py::object plot_image_kind, py::object plot_save_path, py::object strategy_name,
                                      py::object plot_title, py::object record_positions, bool analysis,
                                      py::object lot_size, py::object industry_matrix) {
    if (!benchmark_dict.is_none() && !PyDict_Check(benchmark_dict.ptr()))
        bridge::raise_type_error("benchmark_dict must be a dict or None, got " + bridge::type_name(benchmark_dict));
    if (!bridge::is_str(strategy_name)) bridge::raise_type_error("strategy_name must be text");
    check_text_or_none(plot_image_kind, "plot_image_kind");
    check_text_or_none(plot_title, "plot_title");
    // Every table under normalised labels: dates as YYYYMMDD text, stocks as six-digit codes.
    bridge::LabelBook book;
    py::object weights = bridge::normalised_table(strategy_matrix, "strategy_matrix", book);
    const std::array<py::object, 8> market = bridge::normalised_market(
        {can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price, prev_close, buy_price, sell_price},
        book);
    py::object benchmarks = bridge::normalised_benchmarks(benchmark_dict, book);
    py::object industry =
        industry_matrix.is_none() ? py::none() : bridge::normalised_table(industry_matrix, "industry_matrix", book);
    const std::int64_t window = bridge::to_truncated_int(rolling_window, "rolling_window", 0);
    TradeCosts costs = checked_costs(total_money, fee, rule_fee);
    costs.lot_size = bridge::to_truncated_int(lot_size, "lot_size", 1);
    py::object primary = primary_benchmark(benchmarks, benchmark_names);
    return run_strategy({weights, bridge::handles(market), benchmarks, primary, window, costs, plot_image_kind,
                         plot_save_path, strategy_name, plot_title, static_cast<bool>(py::bool_(record_positions)),
                         analysis, industry});
}

}  // namespace

void register_runner(py::module_& m) {
    py::class_<WeightbookResult>(m, "_WeightbookResult", "Internal result record of a strategy backtest.")
        .def(py::init([](py::object strategy_name, py::object daily_return, py::object cumulative_return,
                         py::object stats, py::object benchmark_summary, py::object plot_paths, py::object analysis,
                         py::object positions, py::object trades) {
                 return WeightbookResult{strategy_name, daily_return, cumulative_return, stats, benchmark_summary,
                                         plot_paths,    analysis,     positions,         trades};
             }),
             py::kw_only(), py::arg("strategy_name"), py::arg("daily_return"), py::arg("cumulative_return"),
             py::arg("stats"), py::arg("benchmark_summary"), py::arg("plot_paths"), py::arg("analysis") = py::none(),
             py::arg("positions") = py::none(), py::arg("trades") = py::none())
        .def_readwrite("strategy_name", &WeightbookResult::strategy_name)
        .def_readwrite("daily_return", &WeightbookResult::daily_return)
        .def_readwrite("cumulative_return", &WeightbookResult::cumulative_return)
        .def_readwrite("stats", &WeightbookResult::stats)
        .def_readwrite("benchmark_summary", &WeightbookResult::benchmark_summary)
        .def_readwrite("plot_paths", &WeightbookResult::plot_paths)
        .def_readwrite("analysis", &WeightbookResult::analysis)
        .def_readwrite("positions", &WeightbookResult::positions)
        .def_readwrite("trades", &WeightbookResult::trades)
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
          py::arg("record_positions") = false, py::arg("analysis") = true, py::arg("lot_size") = 200,
          py::arg("industry_matrix") = py::none(),
          "Strategy backtest: align, smooth, daily VWAP returns (whole lots of lot_size shares), total frame, "
          "statistics, benchmark\n"
          "summary, the strategy analysis and, when asked, the two charts and (record_positions) the\n"
          "positions and trades of the same engine pass, with what was held (by industry of\n"
          "industry_matrix, a date x stock table of industry codes) in the analysis. Tables and benchmark\n"
          "series are matched by label as the requests match them (dates as YYYYMMDD text, stocks as\n"
          "six-digit codes), rows in date order and stocks in code order.");
    m.def("_build_total_backtesting_frame", &total_backtesting_frame, py::arg("total_backtesting"),
          "Total frame (net values, drawdowns, excess) of daily_return / index_daily_return [/ close].");
    m.def("calc_strategy_stats", &calc_strategy_stats, py::arg("total_frame"), py::arg("signal_df"),
          "Statistics mapping of a total frame and its target-weight table.");
}

}  // namespace lumora::weightbook
