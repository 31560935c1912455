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

// What the engine traded, kept while it runs. The traded value of each day is always
// kept; positions and trades only when `record` is set.
struct TradeLog {
    bool record = false;
    std::vector<double> traded_value;  // per trade day, currency: bought x buy price + sold x sell price
    // Shares held after each day's trades, sparse: day d holds stocks[offsets[d]..offsets[d+1]),
    // and their value at the day's close in currency (shares held through a split day count
    // split; a day without a close values them at the previous close, 0 without either).
    std::vector<std::int64_t> offsets{0};
    std::vector<std::int32_t> stocks;
    std::vector<double> shares;
    std::vector<double> values;
    // One row per stock and day with a trade, kept column by column so that each column
    // becomes an array of the trades table as it stands. Shares and price are the day's own
    // (a sale on an ex-date counts the split shares at the ex-date price); cost is
    // commission, plus stamp duty on a sale.
    struct Trades {
        std::vector<std::int32_t> day, stock;
        std::vector<std::int8_t> sell;  // 0 a purchase, 1 a sale
        std::vector<double> shares, price, value, cost;

        void add(std::int64_t trade_day, std::int32_t stock_number, bool sale, double moved, double at, double traded,
                 double paid) {
            day.push_back(static_cast<std::int32_t>(trade_day));
            stock.push_back(stock_number);
            sell.push_back(sale ? 1 : 0);
            shares.push_back(moved);
            price.push_back(at);
            value.push_back(traded);
            cost.push_back(paid);
        }
        void reserve(std::size_t rows) {
            for (auto* c : {&day, &stock}) c->reserve(rows);
            sell.reserve(rows);
            for (auto* c : {&shares, &price, &value, &cost}) c->reserve(rows);
        }
    };
    Trades trades;
};

// Profit of each trade day in currency. Positions start flat; share counts stay in the
// units of the day they were traded (a split only rescales that day's valuation). `log`,
// when given, receives the traded value and, if it asks, the positions and trades; the
// profit is the same with or without it.
std::vector<double> strategy_daily_cash(const SparseSignal& signal, const MarketArrays& market, const TradeCosts& costs,
                                        TradeLog* log = nullptr);

}  // namespace lumora
