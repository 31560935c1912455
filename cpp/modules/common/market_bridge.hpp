#pragma once
// The eight market tables of a backtest aligned, by label, to the trade days and stocks of
// a weight table. Used by the strategy module and by the group core.

#include <array>
#include <utility>

#include "common/frame_bridge.hpp"
#include "lumora/strategy_engine.hpp"

namespace lumora::bridge {

struct MarketTables {
    std::array<py::array, 8> keep;
    MarketArrays arrays;
};

// Each market table must be a date x stock DataFrame with unique labels.
inline void require_market_tables(const std::array<py::handle, 8>& tables) {
    static const char* const names[8] = {"can_buy_stock", "cant_sell_stock", "split_factor", "dividend_factor",
                                         "close_price",   "prev_close",      "buy_price",    "sell_price"};
    for (std::size_t k = 0; k < 8; ++k) require_table(tables[k], names[k]);
}

// Argument order of the market tables everywhere: can_buy_stock, cant_sell_stock,
// split_factor, dividend_factor, close_price, prev_close, buy_price, sell_price.
inline MarketTables align_market(const std::array<py::handle, 8>& tables, py::handle row_labels,
                                 py::handle col_labels) {
    MarketTables out;
    AlignedMatrix* slots[8] = {&out.arrays.can_buy,   &out.arrays.cant_sell, &out.arrays.split,
                               &out.arrays.dividend,  &out.arrays.close,     &out.arrays.prev_close,
                               &out.arrays.buy_price, &out.arrays.sell_price};
    require_market_tables(tables);
    for (std::size_t k = 0; k < 8; ++k) {
        AlignedTable t = aligned_table(tables[k], row_labels, col_labels);
        out.keep[k] = std::move(t.keep);
        *slots[k] = std::move(t.matrix);
    }
    return out;
}

}  // namespace lumora::bridge
