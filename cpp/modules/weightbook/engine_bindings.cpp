// calc_strategy_vwap_daily_return, the weight smoothing and the checks of weights and costs.

#include <pybind11/numpy.h>

#include "common/label_bridge.hpp"
#include "common/market_bridge.hpp"
#include "weightbook/strategy_bindings.hpp"
#include "weightbook/vwap_returns.hpp"

namespace lumora::weightbook {

void refuse_oversized_weight(py::handle row_labels, py::handle col_labels, std::int64_t row, std::int64_t col,
                             double value) {
    const std::string date = py::str(row_labels.attr("__getitem__")(row));
    const std::string stock = py::str(col_labels.attr("__getitem__")(col));
    throw py::value_error(std::string("weights must be finite fractions of the capital, at most 1e6 in size (NaN "
                                      "for no position); found ") +
                          std::string(py::repr(py::float_(value))) + " on " + date + " for stock " + stock);
}

TradeCosts checked_costs(py::handle total_money, py::handle fee, py::handle rule_fee) {
    TradeCosts costs;
    costs.total_money = bridge::to_capital(total_money, "total_money");
    costs.fee = bridge::to_rate(fee, "fee");
    costs.rule_fee = bridge::to_rate(rule_fee, "rule_fee");
    return costs;
}

namespace {

py::object calc_strategy_vwap_daily_return(py::object signal_matrix, py::object can_buy_stock,
                                           py::object cant_sell_stock, py::object split_factor,
                                           py::object dividend_factor, py::object close_price, py::object prev_close,
                                           py::object buy_price, py::object sell_price, py::object total_money,
                                           py::object fee, py::object rule_fee, py::object lot_size) {
    bridge::LabelBook book;
    py::object signal = bridge::normalised_table(signal_matrix, "signal_matrix", book);
    const std::array<py::object, 8> market = bridge::normalised_market(
        {can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price, prev_close, buy_price, sell_price},
        book);
    TradeCosts costs = checked_costs(total_money, fee, rule_fee);
    costs.lot_size = bridge::to_truncated_int(lot_size, "lot_size", 1);
    bridge::TableArray values = bridge::table_values(signal, "signal_matrix");
    // Rows in date order and stocks in code order whatever the table's own order, so equal
    // weights give equal returns to the last bit; the table is read where it lies.
    py::object dates = signal.attr("index"), stocks = signal.attr("columns");
    const WeightTable weights{values.view, bridge::ascending_positions(dates), bridge::ascending_positions(stocks)};
    return daily_vwap_return(weights, bridge::labels_at(dates, weights.rows), bridge::labels_at(stocks, weights.cols),
                             bridge::handles(market), costs);
}

py::object smooth_strategy_weights(py::object strategy_matrix, py::object rolling_window) {
    const std::int64_t window = bridge::to_truncated_int(rolling_window, "rolling_window", 0);
    if (window <= 1) return strategy_matrix;
    bridge::require_table(strategy_matrix, "strategy_matrix");
    bridge::TableArray values = bridge::table_values(strategy_matrix, "strategy_matrix");
    const WeightTable weights = WeightTable::whole(values.view);
    std::vector<std::int64_t> kept;
    std::vector<double> smoothed;
    {
        // No Python inside: reads the weight buffer held by `values` into the native vectors `smoothed` and `kept`.
        py::gil_scoped_release release;
        smoothed = smooth_weights(weights, window, kept);
    }
    const auto n_cols = static_cast<py::ssize_t>(weights.n_cols());
    py::array_t<double> out({static_cast<py::ssize_t>(kept.size()), n_cols});
    std::copy(smoothed.begin(), smoothed.end(), out.mutable_data());
    return bridge::frame(out, strategy_matrix.attr("index").attr("take")(bridge::index_array(kept)),
                         strategy_matrix.attr("columns"));
}

}  // namespace

void register_engine(py::module_& m) {
    m.def("calc_strategy_vwap_daily_return", &calc_strategy_vwap_daily_return, py::arg("signal_matrix"),
          py::arg("can_buy_stock"), py::arg("cant_sell_stock"), py::arg("split_factor"), py::arg("dividend_factor"),
          py::arg("close_price"), py::arg("prev_close"), py::arg("buy_price"), py::arg("sell_price"),
          py::arg("total_money") = 1e8, py::arg("fee") = 0.0001, py::arg("rule_fee") = 0.0005,
          py::arg("lot_size") = 200,
          "Daily VWAP return of a target-weight portfolio: T-1 weights traded in whole lots at the day's\n"
          "execution prices, with trading restrictions, splits, dividends, commission and stamp duty.\n"
          "Tables are matched by label as the requests match them (dates as YYYYMMDD text, stocks as\n"
          "six-digit codes, whatever form they come in), rows in date order and stocks in code order.");
    m.def("_smooth_strategy_weights", &smooth_strategy_weights, py::arg("strategy_matrix"), py::arg("rolling_window"),
          "Rolling mean of the weights over rolling_window rows (missing weights count as 0; zero means\n"
          "become missing). Windows 0 and 1 return the table itself.");
}

}  // namespace lumora::weightbook
