#pragma once
#include <pybind11/pybind11.h>

namespace lumora::core {

namespace py = pybind11;

// The 26 keywords of a group backtest request, whether to compute the factor analysis, the
// loaded market's kept work (a MarketWork, or None) and whether the Rank IC takes the
// adjusted opens.
struct GroupRequest {
    py::object factor_matrix, industry_matrix, close_price_valid, can_buy_stock, cant_sell_stock, split_factor,
        dividend_factor, close_price, prev_close, buy_price, sell_price, benchmark_dict, forward_return_rank_cache,
        open_price, benchmark_names, rolling_window, ascending, group_num, total_money, fee, rule_fee, plot_image_kind,
        plot_save_path, factor_name, plot_title, lot_size;
    bool analysis = true;
    py::object market_work = py::none();
    bool adjusted_ic = false;
    bool forward_returns = false;  // every horizon's forward returns are read (the factor data export)
};

struct GroupResult {
    py::object plot_paths, best_group, group_daily_return, group_cumulative_return, rank_ic, summary, analysis;
    py::list benchmarks;  // the selected benchmarks, in order
};

// The request with its tables under normalised labels (dates as YYYYMMDD text, six-digit
// codes) and its benchmark series in ascending date order.
GroupRequest normalised_request(const GroupRequest& rq);
py::object run_alpha_vwap_backtest_core(const GroupRequest& request);
void register_group_backtest(py::module_& m);

// lumora's Python modules this module reaches, every one named once in module.cpp.
namespace python {
py::handle own_module();
py::object logger();
// The record class of the factor analysis (lumora.backtest.result.FactorAnalysis).
py::object factor_analysis_record_type();
// The strategy module imports this one when it loads, so it is reached only when drawing.
py::object build_total_backtesting_frame();
}  // namespace python

}  // namespace lumora::core
