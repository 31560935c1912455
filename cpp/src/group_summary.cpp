#include "lumora/group_summary.hpp"

#include <cmath>

#include "lumora/sharpe.hpp"
#include "lumora/strategy_stats.hpp"
#include "lumora/weight_table.hpp"

namespace lumora {

std::vector<double> smoothed_factor(const AlignedMatrix& m, std::int64_t window, std::vector<std::int64_t>& kept) {
    std::vector<double> dense(static_cast<std::size_t>(m.rows() * m.cols()));
    for (std::int64_t i = 0; i < m.rows(); ++i)
        for (std::int64_t j = 0; j < m.cols(); ++j) {
            const double v = m.value(i, j);
            dense[static_cast<std::size_t>(i * m.cols() + j)] = std::isfinite(v) ? v : kNaN;
        }
    const WeightTable table = WeightTable::whole(MatrixView::dense(dense.data(), m.rows(), m.cols()));
    return smooth_weights(table, window, kept);
}

double average_group_size(const GroupOutputs& out) {
    std::int64_t members = 0, slots = 0;
    for (std::int64_t r = 0; r < out.n_rows; ++r) {
        std::int64_t day = 0;
        for (int g = 0; g < out.group_num; ++g)
            day += out.sizes[static_cast<std::size_t>(r) * static_cast<std::size_t>(out.group_num) +
                             static_cast<std::size_t>(g)];
        if (day == 0) continue;
        members += day;
        slots += out.group_num;
    }
    if (slots == 0) return kNaN;
    return static_cast<double>(members) / static_cast<double>(slots);
}

void group_net_values(const GroupOutputs& out, const std::vector<std::int64_t>& rows, double* daily,
                      double* cumulative) {
    const int groups = out.group_num;
    const auto T = static_cast<std::int64_t>(rows.size());
    // Net value 1 + running sum of the returns, from a group's first trade on (a day
    // without a trade adds nothing); a group that never traded has no net value.
    std::vector<double> running(static_cast<std::size_t>(groups), kNaN);
    for (std::int64_t k = 0; k < T; ++k)
        for (int g = 0; g < groups; ++g) {
            const double v = out.daily[static_cast<std::size_t>(rows[static_cast<std::size_t>(k)]) *
                                           static_cast<std::size_t>(groups) +
                                       static_cast<std::size_t>(g)];
            daily[k * groups + g] = v;
            double& sum = running[static_cast<std::size_t>(g)];
            if (!std::isnan(v)) sum = (std::isnan(sum) ? 0.0 : sum) + v;
            cumulative[k * groups + g] = 1.0 + sum;
        }
}

int best_group(const double* cumulative, std::int64_t n_rows, int groups) {
    int best = -1;
    if (n_rows > 0) {
        const double* last = cumulative + (n_rows - 1) * groups;
        for (int g = 0; g < groups; ++g)
            if (!std::isnan(last[g]) && (best < 0 || last[g] > last[best])) best = g;
    }
    return best;
}

std::vector<std::int64_t> traded_rows(const GroupOutputs& out) {
    std::vector<std::int64_t> rows;
    for (std::int64_t r = 0; r < out.n_rows; ++r)
        if (out.traded[static_cast<std::size_t>(r)]) rows.push_back(r);
    return rows;
}

std::vector<double> group_column(const GroupOutputs& out, const std::vector<std::int64_t>& rows, int g) {
    std::vector<double> values;
    values.reserve(rows.size());
    for (const std::int64_t r : rows)
        values.push_back(out.daily[static_cast<std::size_t>(r) * static_cast<std::size_t>(out.group_num) +
                                   static_cast<std::size_t>(g)]);
    return values;
}

std::vector<double> long_short_returns(std::span<const double> top, std::span<const double> bottom) {
    std::vector<double> spread(top.size());
    for (std::size_t k = 0; k < spread.size(); ++k) spread[k] = top[k] - bottom[k];
    return spread;
}

double annual_mean(const std::vector<double>& v) {
    const std::vector<double> finite = finite_values(v.data(), v.size());
    return mean_of(finite.data(), finite.size()) * kTradingDaysPerYear;
}

RankIcSeries rank_ic_series(const GroupOutputs& out) {
    RankIcSeries s;
    for (std::int64_t r = 0; r < out.n_rows; ++r) {
        const double ic = out.rank_ic[static_cast<std::size_t>(r)];
        if (std::isnan(ic)) continue;
        s.rows.push_back(r);
        s.values.push_back(ic);
    }
    return s;
}

IcFigures ic_figures(std::span<const double> ic) {
    IcFigures f{ic.size(), kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
    if (ic.empty()) return f;
    f.mean = mean_of(ic.data(), ic.size());
    if (ic.size() > 1) {
        double squares = 0.0;
        for (const double v : ic) squares += (v - f.mean) * (v - f.mean);
        f.sd = std::sqrt(squares / static_cast<double>(ic.size() - 1));
    }
    f.ir = f.sd > 0.0 ? f.mean / f.sd : kNaN;
    f.t_stat = f.ir * std::sqrt(static_cast<double>(ic.size()));
    std::size_t positive = 0, strong = 0;
    for (const double v : ic) {
        positive += v > 0.0;
        strong += std::abs(v) > kStrongIc;
    }
    f.positive_share = static_cast<double>(positive) / static_cast<double>(ic.size());
    f.strong_share = static_cast<double>(strong) / static_cast<double>(ic.size());
    return f;
}

BestGroupFigures best_group_figures(const GroupOutputs& out, const std::vector<std::int64_t>& rows, int best) {
    BestGroupFigures f;
    f.best_daily = group_column(out, rows, best);
    f.best_annual_return = annual_mean(f.best_daily);
    f.long_short_annual_return =
        annual_mean(long_short_returns(group_column(out, rows, out.group_num - 1), group_column(out, rows, 0)));
    return f;
}

ExcessSummary best_group_excess(const std::vector<double>& best_daily, const std::vector<double>& benchmark) {
    std::vector<double> strategy, paired;
    for (std::size_t k = 0; k < benchmark.size(); ++k) {
        const double b = benchmark[k], s = best_daily[k];
        if (!std::isfinite(b) || !std::isfinite(s)) continue;
        strategy.push_back(s);
        paired.push_back(b);
    }
    if (paired.empty()) return ExcessSummary{kNaN, kNaN, kNaN, kNaN};
    return excess_summary(strategy, paired);
}

}  // namespace lumora
