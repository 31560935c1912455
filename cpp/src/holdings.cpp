#include "lumora/holdings.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

namespace lumora {

namespace {

// The industry code of every recorded position (NaN without one), and the columns they
// fall in: the distinct codes ascending, then unclassified when a position has no code.
// Without an industry table every position is unclassified.
std::vector<double> position_industries(const HeldPositions& held, HoldingsFigures& f) {
    std::vector<double> code(held.stocks.size(), kNaN);
    if (held.industry != nullptr) {
        for (std::size_t d = 0; d < held.n_days(); ++d)
            for (auto k = static_cast<std::size_t>(held.offsets[d]); k < static_cast<std::size_t>(held.offsets[d + 1]);
                 ++k)
                code[k] = held.industry->value(static_cast<std::int64_t>(d), held.stocks[k]);
    }
    bool unclassified = held.industry == nullptr;
    for (const double c : code) {
        if (std::isnan(c))
            unclassified = true;
        else
            f.industries.push_back(c);
    }
    std::sort(f.industries.begin(), f.industries.end());
    f.industries.erase(std::unique(f.industries.begin(), f.industries.end()), f.industries.end());
    if (unclassified) f.industries.push_back(kNaN);
    return code;
}

// The column of a code: its place among the codes, unclassified (NaN) last.
std::size_t industry_column(const std::vector<double>& industries, double code) {
    if (std::isnan(code)) return industries.size() - 1;
    const auto classified = industries.end() - (std::isnan(industries.back()) ? 1 : 0);
    return static_cast<std::size_t>(std::lower_bound(industries.begin(), classified, code) - industries.begin());
}

// The kTopHoldings positions of the largest mean weight (the lower stock number first
// among equals).
void top_positions(const HeldPositions& held, HoldingsFigures& f) {
    std::int32_t stocks = 0;
    for (const std::int32_t j : held.stocks) stocks = std::max(stocks, j + 1);
    std::vector<double> sum(static_cast<std::size_t>(stocks), 0.0), most(static_cast<std::size_t>(stocks), 0.0);
    std::vector<std::int64_t> days(static_cast<std::size_t>(stocks), 0);
    for (std::size_t k = 0; k < held.stocks.size(); ++k) {
        const auto j = static_cast<std::size_t>(held.stocks[k]);
        const double weight = held.values[k] / held.capital;
        sum[j] += weight;
        most[j] = days[j] == 0 ? weight : std::max(most[j], weight);
        ++days[j];
    }
    std::vector<std::int32_t> order;
    for (std::int32_t j = 0; j < stocks; ++j)
        if (days[static_cast<std::size_t>(j)] > 0) order.push_back(j);
    const std::size_t shown = std::min(order.size(), kTopHoldings);
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(shown), order.end(),
                      [&](std::int32_t a, std::int32_t b) {
                          const double sa = sum[static_cast<std::size_t>(a)], sb = sum[static_cast<std::size_t>(b)];
                          return sa != sb ? sa > sb : a < b;
                      });
    const auto n_days = static_cast<double>(held.n_days());
    for (std::size_t r = 0; r < shown; ++r) {
        const auto j = static_cast<std::size_t>(order[r]);
        f.top_stocks.push_back(order[r]);
        f.mean_weight.push_back(sum[j] / n_days);
        f.max_weight.push_back(most[j]);
        f.days_held.push_back(days[j]);
    }
}

}  // namespace

HoldingsFigures holdings_figures(const HeldPositions& held) {
    HoldingsFigures f;
    const std::size_t n_days = held.n_days();
    f.holdings_count.assign(n_days, 0);
    f.top10_share.assign(n_days, kNaN);
    f.herfindahl.assign(n_days, kNaN);
    f.gross_exposure.assign(n_days, 0.0);
    const std::vector<double> code = position_industries(held, f);
    const std::size_t columns = f.industries.size();
    f.industry_share.assign(n_days * columns, kNaN);

    std::vector<double> largest;
    for (std::size_t d = 0; d < n_days; ++d) {
        const auto begin = static_cast<std::size_t>(held.offsets[d]),
                   end = static_cast<std::size_t>(held.offsets[d + 1]);
        f.holdings_count[d] = static_cast<std::int64_t>(end - begin);
        double value = 0.0;
        for (std::size_t k = begin; k < end; ++k) value += held.values[k];
        f.gross_exposure[d] = value / held.capital;
        if (!(value > 0.0)) continue;

        largest.assign(held.values.begin() + static_cast<std::ptrdiff_t>(begin),
                       held.values.begin() + static_cast<std::ptrdiff_t>(end));
        const std::size_t top = std::min(largest.size(), kTopHoldings);
        std::partial_sort(largest.begin(), largest.begin() + static_cast<std::ptrdiff_t>(top), largest.end(),
                          std::greater<>());
        double top_value = 0.0, squares = 0.0;
        for (std::size_t r = 0; r < top; ++r) top_value += largest[r];
        for (std::size_t k = begin; k < end; ++k) squares += (held.values[k] / value) * (held.values[k] / value);
        f.top10_share[d] = top_value / value;
        f.herfindahl[d] = squares;

        double* share = f.industry_share.data() + d * columns;
        std::fill(share, share + columns, 0.0);
        for (std::size_t k = begin; k < end; ++k)
            share[industry_column(f.industries, code[k])] += held.values[k] / value;
    }
    top_positions(held, f);
    return f;
}

}  // namespace lumora
