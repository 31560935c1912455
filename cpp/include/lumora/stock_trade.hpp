#pragma once
// One stock on one trade day: whole-lot target, restricted trades and the day's profit
// against the previous close. Shared by the strategy engine and the group engine so a
// uniform-weight portfolio and a factor group holding the same stocks agree exactly.

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "lumora/matrix_view.hpp"

namespace lumora {

// numpy's nan_to_num(x, nan=0.0): NaN to zero, infinities to the largest finite magnitude.
inline double nan_to_zero(double x) {
    if (std::isnan(x)) return 0.0;
    if (std::isinf(x)) return x > 0 ? std::numeric_limits<double>::max() : std::numeric_limits<double>::lowest();
    return x;
}

// Shares wanted for a weight of the capital, rounded down to whole lots; zero when the
// previous close cannot value the stock.
inline double lot_target(double total_money, double weight, double prev_close, double lot) {
    const double raw = total_money * weight / (prev_close * lot);
    const bool valid = std::isfinite(weight) && std::isfinite(prev_close) && prev_close > 0.0;
    if (!valid) return 0.0;
    // Below 2^52 a positive number rounds down as it truncates: two conversions instead of
    // the general rounding down (which the baseline instruction set does in a dozen steps).
    const bool small = raw > 0.0 && raw < 0x1p52;
    return (small ? static_cast<double>(static_cast<std::int64_t>(raw)) : std::floor(raw)) * lot;
}

// The cells of one stock on one trade day.
struct StockDay {
    bool can_buy;
    bool cant_sell;
    double close;
    double prev_close;
    double split;  // NaN means no split
    double dividend;
    double buy_price;
    double sell_price;
};

// The eight market tables a trade day reads, in the order their readers keep them.
enum MarketTable : std::size_t {
    kCanBuy,
    kCantSell,
    kSplit,
    kDividend,
    kClose,
    kPrevClose,
    kBuy,
    kSell,
    kMarketTables
};

// A stock's trade day from value(table), each table's cell as a number (NaN where absent).
template <class Value>
[[gnu::always_inline]] inline StockDay stock_day(Value&& value) {
    return StockDay{trading_flag(value(kCanBuy), kMissingCanBuy),
                    trading_flag(value(kCantSell), kMissingCantSell),
                    value(kClose),
                    value(kPrevClose),
                    value(kSplit),
                    value(kDividend),
                    value(kBuy),
                    value(kSell)};
}

// The eight market tables positioned on one date: a stock's cells are read with one
// offset per table, the label lookups having been done once for the whole run.
class MarketCursor {
public:
    MarketCursor(const AlignedMatrix& can_buy, const AlignedMatrix& cant_sell, const AlignedMatrix& split,
                 const AlignedMatrix& dividend, const AlignedMatrix& close, const AlignedMatrix& prev_close,
                 const AlignedMatrix& buy_price, const AlignedMatrix& sell_price)
        : tables_{&can_buy, &cant_sell, &split, &dividend, &close, &prev_close, &buy_price, &sell_price} {
        for (std::size_t t = 0; t < kMarketTables; ++t) {
            const AlignedMatrix& m = *tables_[t];
            offsets_[t].resize(m.col_pos.size());
            for (std::size_t j = 0; j < m.col_pos.size(); ++j)
                offsets_[t][j] = m.col_pos[j] < 0 ? -1 : m.col_pos[j] * m.view.col_stride;
        }
    }

    void seek(std::int64_t i) {
        for (std::size_t t = 0; t < kMarketTables; ++t) {
            const AlignedMatrix& m = *tables_[t];
            const std::int64_t r = m.row_pos[static_cast<std::size_t>(i)];
            rows_[t] = r < 0 ? nullptr : m.view.data + r * m.view.row_stride;
        }
    }

    // Asks the cache for stock j's cells of the current date.
    void prefetch(std::int64_t j) const {
        for (std::size_t t = 0; t < kMarketTables; ++t) {
            const std::ptrdiff_t offset = offsets_[t][static_cast<std::size_t>(j)];
            if (rows_[t] != nullptr && offset >= 0) __builtin_prefetch(rows_[t] + offset);
        }
    }

    // Previous close alone, for the targets.
    double prev_close(std::int64_t j) const { return value(kPrevClose, j); }

    StockDay read(std::int64_t j) const {
        return stock_day([&](std::size_t t) { return value(t, j); });
    }

private:
    double value(std::size_t t, std::int64_t j) const {
        const std::ptrdiff_t offset = offsets_[t][static_cast<std::size_t>(j)];
        if (rows_[t] == nullptr || offset < 0) return kNaN;
        const std::byte* p = rows_[t] + offset;
        if (tables_[t]->view.kind == CellKind::Bool) return *reinterpret_cast<const bool*>(p) ? 1.0 : 0.0;
        return *reinterpret_cast<const double*>(p);
    }

    const AlignedMatrix* tables_[kMarketTables];
    std::vector<std::ptrdiff_t> offsets_[kMarketTables];
    const std::byte* rows_[kMarketTables] = {};
};

// The five parts of a day's profit, each summed over stocks and added in this order.
struct DayPnl {
    double buy = 0.0;
    double hold = 0.0;
    double hold_dividend = 0.0;
    double sell = 0.0;
    double sell_dividend = 0.0;

    double total() const { return buy + hold + hold_dividend + sell + sell_dividend; }
};

struct FeeFactors {
    double buy;   // 1 + commission
    double sell;  // 1 - commission - stamp duty
};

// The shares a stock's trade moved, in the units positions are kept in.
struct Fill {
    double bought = 0.0;
    double sold = 0.0;
};

// The day's profit per share bought, held through the day and sold, each cleaned of NaN and
// infinities, and the dividend per share held at the previous close: the same for every
// holder of the stock that day.
struct DayGains {
    double buy;
    double hold;
    double sell;
    double dividend;
};

inline DayGains day_gains(const StockDay& d, const FeeFactors& f) {
    const double split = std::isnan(d.split) ? 1.0 : d.split;
    DayGains g{d.close - d.buy_price * f.buy, split * d.close - d.prev_close,
               split * d.sell_price * f.sell - d.prev_close, nan_to_zero(d.dividend)};
    // Their sum is finite only where each of them is (an infinity or NaN carries into it), so
    // the usual day is cleaned by one test; a sum that overflows is merely cleaned for nothing.
    if (!std::isfinite(g.buy + g.hold + g.sell)) {
        g.buy = nan_to_zero(g.buy);
        g.hold = nan_to_zero(g.hold);
        g.sell = nan_to_zero(g.sell);
    }
    return g;
}

// Moves `position` toward `target` as far as the restrictions allow and adds the stock's
// profit of the day, the day's gains found by `gains()` only when a share moves or is held.
// Every share is valued against the previous close; dividends go to the shares held at the
// previous close, sold or not.
template <class Gains>
[[gnu::always_inline]] inline Fill trade_stock_with(double target, double& position, const StockDay& d, Gains&& gains,
                                                    DayPnl& pnl) {
    const double diff = target - position;
    const double real_buy = (diff > 0.0 && d.can_buy) ? diff : 0.0;
    const double sell = (diff < 0.0 && !d.cant_sell) ? -diff : 0.0;
    const double hold = position - sell;
    position = hold + real_buy;
    if (real_buy == 0.0 && hold == 0.0 && sell == 0.0) return {};

    const DayGains g = gains();
    pnl.buy += real_buy * g.buy;
    pnl.hold += hold * g.hold;
    pnl.hold_dividend += hold * g.dividend;
    pnl.sell += sell * g.sell;
    pnl.sell_dividend += sell * g.dividend;
    return {real_buy, sell};
}

inline Fill trade_stock(double target, double& position, const StockDay& d, const FeeFactors& f, DayPnl& pnl) {
    return trade_stock_with(
        target, position, d, [&] { return day_gains(d, f); }, pnl);
}

}  // namespace lumora
