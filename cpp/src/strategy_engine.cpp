#include "lumora/strategy_engine.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

#include "lumora/stock_trade.hpp"

namespace lumora {

std::vector<std::int64_t> shifted_signal(const WeightTable& weights, SparseSignal& signal) {
    const std::int64_t nr = weights.n_rows(), nc = weights.n_cols();
    signal = SparseSignal{};
    signal.n_stocks = nc;
    std::vector<bool> has_weight(static_cast<std::size_t>(nr), false);
    std::vector<std::int64_t> row_count(static_cast<std::size_t>(nr), 0);
    weights.for_each_cell([&](std::int64_t i, std::int64_t j, double v) {
        if (std::isnan(v)) return;
        has_weight[static_cast<std::size_t>(i)] = true;
        if (std::isfinite(v) && v != 0.0) ++row_count[static_cast<std::size_t>(i)];
        if (oversized_weight(v) &&
            (signal.bad_row < 0 || i < signal.bad_row || (i == signal.bad_row && j < signal.bad_col))) {
            signal.bad_row = i;
            signal.bad_col = j;
        }
    });

    std::vector<std::int64_t> trade_rows;
    std::vector<std::int64_t> source_slot(static_cast<std::size_t>(nr), -1);
    for (std::int64_t p = 1; p < nr; ++p) {
        if (!has_weight[static_cast<std::size_t>(p - 1)]) continue;
        source_slot[static_cast<std::size_t>(p - 1)] = static_cast<std::int64_t>(trade_rows.size());
        trade_rows.push_back(p);
        signal.offsets.push_back(signal.offsets.back() + row_count[static_cast<std::size_t>(p - 1)]);
    }
    signal.stocks.resize(static_cast<std::size_t>(signal.offsets.back()));
    signal.weights.resize(signal.stocks.size());

    // Second pass fills each trade day's entries; `fill` walks each day's slice.
    std::vector<std::int64_t> fill(signal.offsets.begin(), signal.offsets.end() - 1);
    weights.for_each_cell([&](std::int64_t i, std::int64_t j, double v) {
        const std::int64_t slot = source_slot[static_cast<std::size_t>(i)];
        if (slot < 0 || !std::isfinite(v) || v == 0.0) return;
        const auto at = static_cast<std::size_t>(fill[static_cast<std::size_t>(slot)]++);
        signal.stocks[at] = static_cast<std::int32_t>(j);
        signal.weights[at] = v;
    });
    return trade_rows;
}

namespace {

// A position's value at the day's close: the shares held through the day are in the
// previous day's units, so a split multiplies them; the shares bought are the day's own.
double close_value(double position, const Fill& fill, const StockDay& d) {
    if (!std::isfinite(d.close)) return nan_to_zero(position * d.prev_close);
    const double split = std::isnan(d.split) ? 1.0 : d.split;
    return nan_to_zero(((position - fill.bought) * split + fill.bought) * d.close);
}

// Adds one stock's fill to the day's traded value and, when recording, to the trades and
// the close value of the position it leaves (in the order the day's holdings are logged).
void log_fill(TradeLog& log, std::int64_t day, std::int32_t stock, const Fill& fill, const StockDay& d,
              const TradeCosts& costs, double position, double& traded) {
    if (log.record && position != 0.0) log.values.push_back(close_value(position, fill, d));
    if (fill.bought > 0.0) {
        const double value = nan_to_zero(fill.bought * d.buy_price);
        traded += value;
        if (log.record) log.trades.add(day, stock, false, fill.bought, d.buy_price, value, value * costs.fee);
    }
    if (fill.sold > 0.0) {
        const double shares = fill.sold * (std::isnan(d.split) ? 1.0 : d.split);
        const double value = nan_to_zero(shares * d.sell_price);
        traded += value;
        if (log.record)
            log.trades.add(day, stock, true, shares, d.sell_price, value, value * (costs.fee + costs.rule_fee));
    }
}

}  // namespace

std::vector<double> strategy_daily_cash(const SparseSignal& signal, const MarketArrays& m, const TradeCosts& costs,
                                        TradeLog* log) {
    const std::int64_t n_days = signal.n_days();
    const auto n_stocks = static_cast<std::size_t>(signal.n_stocks);
    std::vector<double> daily_cash(static_cast<std::size_t>(n_days), 0.0);

    std::vector<double> positions(n_stocks, 0.0);  // shares held before today's trades
    std::vector<double> target(n_stocks, 0.0);
    std::vector<std::int32_t> held, active;
    const double lot = static_cast<double>(costs.lot_size);
    const FeeFactors fees{1.0 + costs.fee, 1.0 - costs.fee - costs.rule_fee};
    if (log != nullptr) log->traded_value.assign(static_cast<std::size_t>(n_days), 0.0);
    if (log != nullptr && log->record) {
        // Room for about one row per weighted stock and day, so the logs are not copied as
        // they grow; reserved pages the run never fills are never touched.
        const std::size_t rows = signal.stocks.size() + n_stocks;
        log->stocks.reserve(rows);
        log->shares.reserve(rows);
        log->values.reserve(rows);
        log->trades.reserve(rows);
    }

    MarketCursor market(m.can_buy, m.cant_sell, m.split, m.dividend, m.close, m.prev_close, m.buy_price, m.sell_price);
    for (std::int64_t i = 0; i < n_days; ++i) {
        market.seek(i);
        // Stocks that matter today: those with a weight and those still held, in stock
        // order so that row-major tables are walked forward. Every other stock has a zero
        // target and no position, so it contributes nothing.
        const auto begin = static_cast<std::size_t>(signal.offsets[static_cast<std::size_t>(i)]);
        const auto end = static_cast<std::size_t>(signal.offsets[static_cast<std::size_t>(i + 1)]);
        for (std::size_t k = begin; k < end; ++k) {
            const std::int32_t j = signal.stocks[k];
            target[static_cast<std::size_t>(j)] =
                lot_target(costs.total_money, signal.weights[k], market.prev_close(j), lot);
        }
        active.clear();
        std::size_t k = begin, h = 0;
        while (k < end || h < held.size()) {
            const std::int32_t from_signal = k < end ? signal.stocks[k] : INT32_MAX;
            const std::int32_t from_held = h < held.size() ? held[h] : INT32_MAX;
            if (from_held < from_signal) {
                target[static_cast<std::size_t>(from_held)] = 0.0;
                active.push_back(from_held);
                ++h;
            } else {
                active.push_back(from_signal);
                ++k;
                if (from_held == from_signal) ++h;
            }
        }

        // The cells of scattered stocks are cold; asking for them a few stocks ahead overlaps
        // their memory latency with the arithmetic of the stocks before.
        constexpr std::size_t kAhead = 8;
        for (std::size_t a = 0; a < std::min(kAhead, active.size()); ++a) market.prefetch(active[a]);
        DayPnl pnl;
        held.clear();
        double traded = 0.0;
        for (std::size_t a = 0; a < active.size(); ++a) {
            if (a + kAhead < active.size()) market.prefetch(active[a + kAhead]);
            const std::int32_t j = active[a];
            double& position = positions[static_cast<std::size_t>(j)];
            const StockDay day = market.read(j);
            const Fill fill = trade_stock(target[static_cast<std::size_t>(j)], position, day, fees, pnl);
            if (log != nullptr) log_fill(*log, i, j, fill, day, costs, position, traded);
            if (position != 0.0) held.push_back(j);
        }
        daily_cash[static_cast<std::size_t>(i)] = pnl.total();
        if (log == nullptr) continue;
        log->traded_value[static_cast<std::size_t>(i)] = traded;
        if (!log->record) continue;
        for (const std::int32_t j : held) {
            log->stocks.push_back(j);
            log->shares.push_back(positions[static_cast<std::size_t>(j)]);
        }
        log->offsets.push_back(static_cast<std::int64_t>(log->stocks.size()));
    }
    return daily_cash;
}

}  // namespace lumora
