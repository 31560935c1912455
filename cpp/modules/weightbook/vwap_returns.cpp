// The daily VWAP returns of a weight table traded against the market tables.

#include "weightbook/vwap_returns.hpp"

#include <pybind11/numpy.h>

#include "common/market_bridge.hpp"
#include "weightbook/strategy_bindings.hpp"

namespace lumora::weightbook {

py::object daily_vwap_return(const WeightTable& weights, py::handle row_labels, py::handle col_labels,
                             const std::array<py::handle, 8>& market_tables, const TradeCosts& costs, TradeLog* log) {
    SparseSignal signal;
    std::vector<std::int64_t> trade_rows;
    {
        // No Python inside: reads the weight buffer `weights` views (held by the caller) into the native `signal`.
        py::gil_scoped_release release;
        trade_rows = shifted_signal(weights, signal);
    }
    if (signal.bad_row >= 0) {
        // Positions within the selection, mapped back to the table's own labels.
        refuse_oversized_weight(row_labels, col_labels, signal.bad_row, signal.bad_col,
                                weights.at(signal.bad_row, signal.bad_col));
    }
    if (trade_rows.empty()) return bridge::empty_float_series();

    py::object pnl_index = row_labels.attr("take")(bridge::index_array(trade_rows));
    bridge::MarketTables market = bridge::align_market(market_tables, pnl_index, col_labels);

    py::array_t<double> returns(static_cast<py::ssize_t>(trade_rows.size()));
    {
        // No Python inside: reads the native signal and market buffers held by `market`, writes only the new
        // `returns` and the native `log`.
        py::gil_scoped_release release;
        const std::vector<double> cash = strategy_daily_cash(signal, market.arrays, costs, log);
        double* out = returns.mutable_data();
        for (std::size_t i = 0; i < cash.size(); ++i) out[i] = cash[i] / costs.total_money;
    }
    return bridge::series(returns, pnl_index);
}

}  // namespace lumora::weightbook
