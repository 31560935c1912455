// The public target-weight strategy backtest: checks the request, cuts the loaded data
// to the window and hands everything to the strategy runner of _weightbook, which is
// loaded only here so that importing the service does not load the chart machinery.

#include <string>

#include "common/frame_bridge.hpp"
#include "service/service_module.hpp"

namespace lumora::service {

namespace {

// The eight market tables the runner reads, by its keyword and the dataset key.
constexpr std::pair<const char*, const char*> kMarketInputs[] = {
    {"can_buy_stock", "can_buy_stock"}, {"cant_sell_stock", "cant_sell_stock"},
    {"split_factor", "rq_get_split"},   {"dividend_factor", "rq_get_dividend"},
    {"close_price", "close_price"},     {"prev_close", "prev_close"},
    {"buy_price", "buy_price"},         {"sell_price", "sell_price"},
};

void check_plot_kind(py::handle plot) {
    if (!plot.is_none() && !PyUnicode_Check(plot.ptr()))
        throw py::type_error("plot must be a str or None, got " +
                             std::string(py::str(py::type::of(plot).attr("__name__"))));
}

}  // namespace

py::object backtest_strategy(py::handle /*self*/, py::handle strategy, py::handle data, py::handle start_date,
                             py::handle end_date, py::handle output_dir, py::handle plot_filename, py::handle benchmark,
                             py::handle rolling_window, py::handle total_money, py::handle fee, py::handle rule_fee,
                             py::handle plot, py::handle record_positions, py::handle lot_size) {
    require_plain_str(plot_filename, "plot_filename");
    check_plot_kind(plot);
    const RequestCosts costs = checked_request_costs(rolling_window, total_money, fee, rule_fee, lot_size);

    py::object run = python::strategy_runner();
    if (strategy.is_none() || py::len(strategy) == 0) throw py::value_error("策略权重矩阵为空");
    RequestWindow w = open_request_window(strategy, "strategy", data, benchmark, plot, output_dir, plot_filename,
                                          start_date, end_date);
    warn_empty_window(w.loaded, w.matrices, w.start, w.end);
    // The weekly net value chart has the longest name: "<plot_filename>_weekly_net_value.png".
    py::object save_path = chart_path(plot, output_dir, plot_filename, "_weekly_net_value.png");

    py::dict kwargs;
    kwargs["strategy_matrix"] = cut_rows(w.table, w.start.cast<std::string>(), w.end.cast<std::string>());
    for (const auto& [keyword, dataset] : kMarketInputs) kwargs[keyword] = w.matrices[py::str(dataset)];
    kwargs["benchmark_dict"] = w.matrices[py::str("benchmark_dict")];
    kwargs["benchmark_names"] = w.benchmarks;
    kwargs["rolling_window"] = costs.rolling_window;
    put_trading_costs(kwargs, costs);
    kwargs["plot_image_kind"] = plot;
    kwargs["plot_save_path"] = save_path;
    kwargs["strategy_name"] = plot_filename;
    kwargs["plot_title"] = plot_filename;
    // Asked only when wanted, so a runner without the keywords (a test double) still serves.
    if (PyObject_IsTrue(record_positions.ptr()) == 1) {
        kwargs["record_positions"] = true;
        kwargs["industry_matrix"] = w.matrices.attr("get")("industry_matrix");
    }
    py::object result = run(**kwargs);

    // A runner without the analysis (an older build, a test double) gives a result without one.
    py::object none = py::none();
    py::dict parameters;  // the request as run, for the report
    parameters["start_date"] = w.start;
    parameters["end_date"] = w.end;
    parameters["benchmark"] = w.benchmarks;
    parameters["rolling_window"] = costs.rolling_window;
    put_trading_costs(parameters, costs);
    return service_attr("StrategyBacktestResult")(
        py::arg("parameters") = parameters, py::arg("strategy_name") = plot_filename,
        py::arg("daily_return") = result.attr("daily_return"),
        py::arg("cumulative_return") = result.attr("cumulative_return"), py::arg("stats") = result.attr("stats"),
        py::arg("benchmark_summary") = result.attr("benchmark_summary"),
        py::arg("plot_paths") = result.attr("plot_paths"), py::arg("analysis") = py::getattr(result, "analysis", none),
        py::arg("positions") = py::getattr(result, "positions", none),
        py::arg("trades") = py::getattr(result, "trades", none));
}

}  // namespace lumora::service
