// run_alpha_vwap_backtest_core and its result record: conversion and checks.

#include "core/group_bindings.hpp"

#include <array>
#include <string>

#include "common/frame_bridge.hpp"
#include "common/label_bridge.hpp"
#include "common/market_bridge.hpp"
#include "core/group_charts.hpp"
#include "core/group_results.hpp"

namespace lumora::core {

namespace py = pybind11;

namespace {

// The benchmarks a request asks for, in the mapping's order for "all" or None.
py::list selected_benchmarks(py::handle benchmark_dict, py::handle names) {
    py::list out;
    if (benchmark_dict.is_none()) return out;
    py::dict bm = py::reinterpret_borrow<py::dict>(benchmark_dict);
    auto add = [&](py::handle name) {
        if (bm.contains(name) && !out.contains(name)) out.append(name);
    };
    if (names.is_none() || (bridge::is_str(names) && std::string(py::str(names)) == "all")) {
        for (auto item : bm) add(item.first);
    } else if (bridge::is_str(names)) {
        add(names);
    } else if (PyList_Check(names.ptr()) || PyTuple_Check(names.ptr())) {
        for (py::handle name : names) add(py::str(name));
    } else {
        bridge::raise_type_error("benchmark_names must be text, a list of text or None, got " +
                                 bridge::type_name(names));
    }
    return out;
}

}  // namespace

// Argument kinds first, so that a wrong kind fails before any table is read.
void check_request_kinds(const GroupRequest& rq) {
    if (!rq.benchmark_dict.is_none() && !PyDict_Check(rq.benchmark_dict.ptr()))
        bridge::raise_type_error("benchmark_dict must be a dict or None, got " + bridge::type_name(rq.benchmark_dict));
    const std::pair<const py::object*, const char*> tables[] = {{&rq.factor_matrix, "factor_matrix"},
                                                                {&rq.close_price_valid, "close_price_valid"}};
    for (const auto& [table, name] : tables) bridge::require_table(*table, name);
    const std::pair<const py::object*, const char*> optional[] = {
        {&rq.industry_matrix, "industry_matrix"},
        {&rq.forward_return_rank_cache, "forward_return_rank_cache"},
        {&rq.open_price, "open_price"}};
    for (const auto& [table, name] : optional)
        if (!table->is_none()) bridge::require_table(*table, name);
}

// The request with its tables under normalised labels (dates as YYYYMMDD text, six-digit
// codes) and its benchmark series in ascending date order.
GroupRequest normalised_request(const GroupRequest& rq) {
    bridge::LabelBook book;
    GroupRequest out = rq;
    out.factor_matrix = bridge::normalised_table(rq.factor_matrix, "factor_matrix", book);
    out.close_price_valid = bridge::normalised_table(rq.close_price_valid, "close_price_valid", book);
    const std::array<py::object, 8> market =
        bridge::normalised_market({rq.can_buy_stock, rq.cant_sell_stock, rq.split_factor, rq.dividend_factor,
                                   rq.close_price, rq.prev_close, rq.buy_price, rq.sell_price},
                                  book);
    py::object* slots[8] = {&out.can_buy_stock, &out.cant_sell_stock, &out.split_factor, &out.dividend_factor,
                            &out.close_price,   &out.prev_close,      &out.buy_price,    &out.sell_price};
    for (std::size_t k = 0; k < 8; ++k) *slots[k] = market[k];
    if (!rq.industry_matrix.is_none())
        out.industry_matrix = bridge::normalised_table(rq.industry_matrix, "industry_matrix", book);
    if (!rq.forward_return_rank_cache.is_none())
        out.forward_return_rank_cache =
            bridge::normalised_table(rq.forward_return_rank_cache, "forward_return_rank_cache", book);
    // Forward returns run from one open to the next along the open table's own rows.
    if (!rq.open_price.is_none())
        out.open_price = bridge::rows_in_date_order(bridge::normalised_table(rq.open_price, "open_price", book));
    out.benchmark_dict = bridge::normalised_benchmarks(rq.benchmark_dict, book);
    return out;
}

py::object run_alpha_vwap_backtest_core(const GroupRequest& rq) {
    check_request_kinds(rq);
    const int groups = static_cast<int>(bridge::to_truncated_int(rq.group_num, "group_num", 1, 65535));
    const std::int64_t window = bridge::to_truncated_int(rq.rolling_window, "rolling_window", 0);
    const GroupChartRequest chart_request = group_chart_request(rq);
    const py::list chosen = selected_benchmarks(rq.benchmark_dict, rq.benchmark_names);
    GroupInputs in;
    in.group_num = groups;
    in.ascending = py::bool_(rq.ascending);
    in.costs.total_money = bridge::to_capital(rq.total_money, "total_money");
    in.costs.fee = bridge::to_rate(rq.fee, "fee");
    in.costs.rule_fee = bridge::to_rate(rq.rule_fee, "rule_fee");
    in.costs.lot_size = bridge::to_truncated_int(rq.lot_size, "lot_size", 1);
    return run_group_request(normalised_request(rq), in, window, chart_request, chosen);
}

void register_group_backtest(py::module_& m) {
    py::class_<GroupResult>(m, "AlphaBacktestResult", "Result of a factor group backtest.")
        .def_readonly("plot_paths", &GroupResult::plot_paths)
        .def_readonly("best_group", &GroupResult::best_group)
        .def_readonly("group_daily_return", &GroupResult::group_daily_return)
        .def_readonly("group_cumulative_return", &GroupResult::group_cumulative_return)
        .def_readonly("rank_ic", &GroupResult::rank_ic)
        .def_readonly(
            "analysis", &GroupResult::analysis,
            "The factor analysis (lumora.backtest.result.FactorAnalysis): IC and Rank IC by horizon, their\n"
            "summary, Rank IC by month, group turnover, rank autocorrelation, coverage, monotonicity and the\n"
            "return figures of every group and of top minus bottom.")
        .def(
            "benchmark_summary", [](const GroupResult& r) { return r.summary.attr("copy")(); },
            "Per selected benchmark: best group, long-short and benchmark annual returns, the best group's\n"
            "excess annual return, Sharpe and maximum drawdown, and the Rank IC mean and IR.")
        .def("__repr__", [](const GroupResult& r) {
            return py::str("AlphaBacktestResult(best_group={!r}, days={}, groups={})")
                .format(r.best_group, py::len(r.group_daily_return), py::len(r.group_daily_return.attr("columns")));
        });

    m.def(
        "run_alpha_vwap_backtest_core",
        [](py::object factor_matrix, py::object industry_matrix, py::object close_price_valid, py::object can_buy_stock,
           py::object cant_sell_stock, py::object split_factor, py::object dividend_factor, py::object close_price,
           py::object prev_close, py::object buy_price, py::object sell_price, py::object benchmark_dict,
           py::object forward_return_rank_cache, py::object open_price, py::object benchmark_names,
           py::object rolling_window, py::object ascending, py::object group_num, py::object total_money,
           py::object fee, py::object rule_fee, py::object plot_image_kind, py::object plot_save_path,
           py::object factor_name, py::object plot_title, py::object lot_size, bool analysis, py::object market_work,
           bool adjusted_ic) {
            GroupRequest rq{factor_matrix,
                            industry_matrix,
                            close_price_valid,
                            can_buy_stock,
                            cant_sell_stock,
                            split_factor,
                            dividend_factor,
                            close_price,
                            prev_close,
                            buy_price,
                            sell_price,
                            benchmark_dict,
                            forward_return_rank_cache,
                            open_price,
                            benchmark_names,
                            rolling_window,
                            ascending,
                            group_num,
                            total_money,
                            fee,
                            rule_fee,
                            plot_image_kind,
                            plot_save_path,
                            factor_name,
                            plot_title,
                            lot_size,
                            analysis,
                            market_work,
                            adjusted_ic};
            return run_alpha_vwap_backtest_core(rq);
        },
        py::kw_only(), py::arg("factor_matrix"), py::arg("industry_matrix") = py::none(), py::arg("close_price_valid"),
        py::arg("can_buy_stock"), py::arg("cant_sell_stock"), py::arg("split_factor"), py::arg("dividend_factor"),
        py::arg("close_price"), py::arg("prev_close"), py::arg("buy_price"), py::arg("sell_price"),
        py::arg("benchmark_dict") = py::none(), py::arg("forward_return_rank_cache") = py::none(),
        py::arg("open_price") = py::none(), py::arg("benchmark_names") = "000852", py::arg("rolling_window") = 0,
        py::arg("ascending") = false, py::arg("group_num") = 20, py::arg("total_money") = 1e8, py::arg("fee") = 0.0001,
        py::arg("rule_fee") = 0.0005, py::arg("plot_image_kind") = py::none(), py::arg("plot_save_path") = py::none(),
        py::arg("factor_name") = "factor", py::arg("plot_title") = py::none(), py::arg("lot_size") = 200,
        py::arg("analysis") = true, py::arg("market_work") = py::none(), py::arg("adjusted_ic") = false,
        "Factor group backtest: daily equal-count groups by factor value, each simulated with the strategy\n"
        "engine's trading rules (whole lots of lot_size shares) in one pass, plus Rank IC, per-benchmark summaries "
        "and, when a page kind\n"
        "and a path are given, one chart per selected benchmark; with analysis (the default) the factor\n"
        "analysis of the same pass (result.analysis, None without). Tables and benchmark series are\n"
        "matched by label as the requests match them (dates as YYYYMMDD text, stocks as six-digit\n"
        "codes), dates and stocks in ascending order. market_work: the loaded market's kept work\n"
        "(BacktestData keeps it), read where it fits the tables given; adjusted_ic: the Rank IC on the\n"
        "opens adjusted for splits and dividends rather than as traded.");
}

}  // namespace lumora::core
