#pragma once
// The eight market tables of a backtest aligned, by label, to the trade days and stocks of
// a weight table. Used by the strategy module and by the group core.

#include <array>
#include <utility>

#include "common/frame_bridge.hpp"
#include "common/label_bridge.hpp"
#include "lumora/strategy_engine.hpp"

namespace lumora::bridge {

struct MarketTables {
    std::array<py::array, 8> keep;
    MarketArrays arrays;
};

inline constexpr const char* kMarketTableNames[8] = {"can_buy_stock",   "cant_sell_stock", "split_factor",
                                                     "dividend_factor", "close_price",     "prev_close",
                                                     "buy_price",       "sell_price"};

// Each market table must be a date x stock DataFrame with unique labels.
inline void require_market_tables(const std::array<py::handle, 8>& tables) {
    for (std::size_t k = 0; k < 8; ++k) require_table(tables[k], kMarketTableNames[k]);
}

// The market tables under normalised labels (see normalised_table): each the table itself
// when its labels already are.
inline std::array<py::object, 8> normalised_market(const std::array<py::handle, 8>& tables, LabelBook& book) {
    std::array<py::object, 8> out;
    for (std::size_t k = 0; k < 8; ++k) out[k] = normalised_table(tables[k], kMarketTableNames[k], book);
    return out;
}

inline std::array<py::handle, 8> handles(const std::array<py::object, 8>& objects) {
    std::array<py::handle, 8> out;
    for (std::size_t k = 0; k < 8; ++k) out[k] = objects[k];
    return out;
}

// Argument order of the market tables everywhere: can_buy_stock, cant_sell_stock,
// split_factor, dividend_factor, close_price, prev_close, buy_price, sell_price. The
// tables and the wanted labels are matched as they stand: pass tables under normalised
// labels (normalised_market) and normalised labels.
inline MarketTables align_market(const std::array<py::handle, 8>& tables, py::handle row_labels,
                                 py::handle col_labels) {
    MarketTables out;
    AlignedMatrix* slots[8] = {&out.arrays.can_buy,   &out.arrays.cant_sell, &out.arrays.split,
                               &out.arrays.dividend,  &out.arrays.close,     &out.arrays.prev_close,
                               &out.arrays.buy_price, &out.arrays.sell_price};
    require_market_tables(tables);
    for (std::size_t k = 0; k < 8; ++k) {
        // The two trading flags are read in place when boolean; the rest are numbers.
        const Cells cells = k < 2 ? Cells::Flags : Cells::Numbers;
        AlignedTable t = aligned_table(tables[k], row_labels, col_labels, kMarketTableNames[k], cells);
        out.keep[k] = std::move(t.keep);
        *slots[k] = std::move(t.matrix);
    }
    return out;
}

}  // namespace lumora::bridge
