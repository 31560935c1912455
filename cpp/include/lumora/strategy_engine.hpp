#pragma once
// Daily VWAP return of a target-weight portfolio: weights decided on day T-1 are traded on
// day T at that day's execution prices, in whole lots, honouring trading restrictions,
// with split/dividend adjustment, commission on both sides and stamp duty on sells.

#include <cstdint>
#include <vector>

#include "lumora/matrix_view.hpp"
#include "lumora/weight_table.hpp"

namespace lumora {

struct TradeCosts {
    double total_money = 1e8;
    double fee = 0.0001;       // commission, both sides
    double rule_fee = 0.0005;  // stamp duty and levies, sell side only
    std::int64_t lot_size = 200;
};

// The weights traded on each trade day, kept sparse: only finite non-zero weights move a
// target away from zero shares.
struct SparseSignal {
    std::int64_t n_stocks = 0;
    std::vector<std::int64_t> offsets{0};  // one entry per trade day plus one
    std::vector<std::int32_t> stocks;
    std::vector<double> weights;
    // The first cell (row then column order, within the weight table) holding an oversized
    // weight (see oversized_weight), which the caller refuses; -1 when there is none.
    std::int64_t bad_row = -1, bad_col = -1;

    std::int64_t n_days() const { return static_cast<std::int64_t>(offsets.size()) - 1; }
};

// Trade days of a weight table: row p trades the weights of row p - 1, and a row whose
// predecessor holds no weight at all is not a trade day. Returns the selected-row numbers
// of the trade days and fills `signal` with the weights each of them trades.
std::vector<std::int64_t> shifted_signal(const WeightTable& weights, SparseSignal& signal);

// The eight market tables aligned to (trade days x signal stocks).
struct MarketArrays {
    AlignedMatrix can_buy;
    AlignedMatrix cant_sell;
    AlignedMatrix split;
    AlignedMatrix dividend;
    AlignedMatrix close;
    AlignedMatrix prev_close;
    AlignedMatrix buy_price;
    AlignedMatrix sell_price;
};

// Profit of each trade day in currency. Positions start flat; share counts stay in the
// units of the day they were traded (a split only rescales that day's valuation).
std::vector<double> strategy_daily_cash(const SparseSignal& signal, const MarketArrays& market,
                                        const TradeCosts& costs);

}  // namespace lumora
