#include "lumora/group_engine.hpp"

#include <algorithm>
#include <cmath>

#include "lumora/ranking.hpp"
#include "lumora/stock_trade.hpp"
#include "lumora/strategy_stats.hpp"

namespace lumora {

std::vector<std::int32_t> group_cut(std::int64_t n, int groups) {
    std::vector<std::int32_t> out(static_cast<std::size_t>(n));
    const std::int64_t base = n / groups, remainder = n % groups;
    std::int64_t k = 0;
    for (int g = 0; g < groups; ++g) {
        const std::int64_t size = base + (g < remainder ? 1 : 0);
        for (std::int64_t m = 0; m < size; ++m) out[static_cast<std::size_t>(k++)] = g;
    }
    return out;
}

namespace {

// Today's groups: the usable stocks sorted by factor (ties by column) and cut.
class Grouping {
public:
    Grouping(std::int64_t n_stocks, int groups) : group_of_(static_cast<std::size_t>(n_stocks), -1), groups_(groups) {}

    // Cuts the usable stocks of `row` into groups and returns them in column order.
    const std::vector<std::int32_t>& assign(const GroupInputs& in, std::int64_t row, std::vector<std::int32_t>& sizes) {
        std::fill(group_of_.begin(), group_of_.end(), -1);
        sizes.assign(static_cast<std::size_t>(groups_), 0);
        keyed_.clear();
        usable_.clear();
        // Larger factor, larger group number; ascending reverses the direction. Ties keep
        // column order either way.
        const double direction = in.ascending ? -1.0 : 1.0;
        for (std::int64_t j = 0; j < in.factor.cols; ++j) {
            const double f = in.factor.value(row, j);
            const double v = in.valid.value(row, j);
            if (!(std::isfinite(f) && std::isfinite(v) && v > 0.0)) continue;
            keyed_.push_back({direction * f, static_cast<std::int32_t>(j)});
            usable_.push_back(static_cast<std::int32_t>(j));
        }
        std::sort(keyed_.begin(), keyed_.end());
        const std::vector<std::int32_t> cut = group_cut(static_cast<std::int64_t>(keyed_.size()), groups_);
        for (std::size_t k = 0; k < keyed_.size(); ++k) {
            group_of_[static_cast<std::size_t>(keyed_[k].second)] = cut[k];
            ++sizes[static_cast<std::size_t>(cut[k])];
        }
        return usable_;
    }

    const std::vector<std::int32_t>& group_of() const { return group_of_; }

private:
    std::vector<std::int32_t> group_of_;
    std::vector<std::pair<double, std::int32_t>> keyed_;
    std::vector<std::int32_t> usable_;
    int groups_;
};

double forward_value(const GroupInputs& in, std::int64_t row, std::int64_t j) {
    if (!in.forward_from_open) return in.forward->value(row, j);
    // open(t+2) / open(t+1) - 1 in the open table's own calendar.
    const std::int64_t r = in.forward->row_pos[static_cast<std::size_t>(row)];
    const std::int64_t c = in.forward->col_pos[static_cast<std::size_t>(j)];
    if (r < 0 || c < 0 || r + 2 >= in.forward->view.rows) return kNaN;
    const double v = in.forward->view.value(r + 2, c) / in.forward->view.value(r + 1, c) - 1.0;
    return std::isfinite(v) ? v : kNaN;
}

// Spearman correlation of factor and forward return over the usable stocks of the row.
double rank_ic(const GroupInputs& in, std::int64_t row, const std::vector<std::int32_t>& usable,
               std::vector<double>& f, std::vector<double>& r, SpearmanScratch& scratch) {
    if (in.forward == nullptr) return kNaN;
    f.clear();
    r.clear();
    for (const std::int32_t j : usable) {
        const double fwd = forward_value(in, row, j);
        if (!std::isfinite(fwd)) continue;
        f.push_back(in.factor.value(row, j));
        r.push_back(fwd);
    }
    return spearman(f, r, scratch);
}

}  // namespace

GroupOutputs run_group_backtest(const GroupInputs& in) {
    const std::int64_t rows = in.factor.rows, n = in.factor.cols;
    const int groups = in.group_num;
    const auto G = static_cast<std::size_t>(groups);
    GroupOutputs out;
    out.n_rows = rows;
    out.group_num = groups;
    out.daily.assign(static_cast<std::size_t>(rows) * G, kNaN);
    out.traded.assign(static_cast<std::size_t>(rows), false);
    out.rank_ic.assign(static_cast<std::size_t>(rows), kNaN);
    out.sizes.assign(static_cast<std::size_t>(rows) * G, 0);

    const MarketArrays& m = *in.market;
    const double lot = static_cast<double>(in.costs.lot_size);
    const FeeFactors fees{1.0 + in.costs.fee, 1.0 - in.costs.fee - in.costs.rule_fee};

    Grouping today(n, groups);
    std::vector<std::int32_t> yesterday_group(static_cast<std::size_t>(n), -1), sizes, yesterday_sizes;
    std::vector<double> positions(static_cast<std::size_t>(n) * G, 0.0);  // stock-major
    std::vector<std::vector<std::uint16_t>> held(static_cast<std::size_t>(n));
    std::vector<DayPnl> pnl(G);
    std::vector<double> weight(G);
    std::vector<double> ic_f, ic_r;
    SpearmanScratch scratch;

    for (std::int64_t p = 0; p < rows; ++p) {
        // Trade yesterday's groups today.
        bool any_group = false;
        for (std::size_t g = 0; g < G && p > 0; ++g) {
            pnl[g] = DayPnl{};
            const std::int32_t size = yesterday_sizes[g];
            weight[g] = size > 0 ? 1.0 / static_cast<double>(size) : 0.0;
            any_group = any_group || size > 0;
        }
        if (any_group) {
            for (std::int64_t j = 0; j < n; ++j) {
                const auto s = static_cast<std::size_t>(j);
                const std::int32_t member = yesterday_group[s];
                if (member < 0 && held[s].empty()) continue;
                const StockDay day = StockDay::read(m.can_buy, m.cant_sell, m.split, m.dividend, m.close,
                                                    m.prev_close, m.buy_price, m.sell_price, p, j);
                double* pos = &positions[s * G];
                if (member >= 0) {
                    const auto g = static_cast<std::size_t>(member);
                    trade_stock(lot_target(in.costs.total_money, weight[g], day.prev_close, lot), pos[g], day, fees,
                                pnl[g]);
                }
                for (const std::uint16_t g : held[s]) {
                    // A group that had no members yesterday does not trade today.
                    if (static_cast<std::int32_t>(g) == member || yesterday_sizes[g] == 0) continue;
                    trade_stock(0.0, pos[g], day, fees, pnl[g]);
                }
                // Still held: the old holdings and the new membership, where a position remains.
                std::vector<std::uint16_t>& h = held[s];
                std::size_t kept = 0;
                bool member_held = false;
                for (const std::uint16_t g : h) {
                    if (pos[g] == 0.0) continue;
                    member_held = member_held || static_cast<std::int32_t>(g) == member;
                    h[kept++] = g;
                }
                h.resize(kept);
                if (member >= 0 && !member_held && pos[member] != 0.0) h.push_back(static_cast<std::uint16_t>(member));
            }
            out.traded[static_cast<std::size_t>(p)] = true;
            for (std::size_t g = 0; g < G; ++g)
                if (yesterday_sizes[g] > 0)
                    out.daily[static_cast<std::size_t>(p) * G + g] = pnl[g].total() / in.costs.total_money;
        }

        // Today's groups, traded tomorrow.
        const std::vector<std::int32_t>& usable = today.assign(in, p, sizes);
        yesterday_group = today.group_of();
        yesterday_sizes = sizes;
        std::copy(sizes.begin(), sizes.end(), out.sizes.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(p) * G));
        out.rank_ic[static_cast<std::size_t>(p)] = rank_ic(in, p, usable, ic_f, ic_r, scratch);
    }
    return out;
}

}  // namespace lumora
