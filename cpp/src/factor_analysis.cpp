#include "lumora/factor_analysis.hpp"

#include <cmath>
#include <map>

#include "lumora/group_summary.hpp"
#include "lumora/ranking.hpp"

namespace lumora {

namespace {

std::vector<double> horizon_column(const std::vector<double>& table, std::size_t k) {
    std::vector<double> out(table.size() / kHorizonCount);
    for (std::size_t r = 0; r < out.size(); ++r) out[r] = table[r * kHorizonCount + k];
    return out;
}

double finite_mean(const std::vector<double>& values) {
    double sum = 0.0;
    std::size_t count = 0;
    for (const double v : values)
        if (std::isfinite(v)) {
            sum += v;
            ++count;
        }
    return count ? sum / static_cast<double>(count) : kNaN;
}

// The dates' Rank IC within each industry, averaged over the dates that have one.
std::vector<IndustryFigures> industry_figures(const std::vector<std::vector<IndustryIc>>& by_date) {
    std::map<double, IndustryFigures> found;
    for (const std::vector<IndustryIc>& date : by_date)
        for (const IndustryIc& one : date) {
            IndustryFigures& f = found.try_emplace(one.code, IndustryFigures{one.code, 0.0, 0, 0.0}).first->second;
            if (std::isnan(one.rank_ic)) continue;
            f.rank_ic_mean += one.rank_ic;
            f.stocks_mean += one.stocks;
            ++f.days;
        }
    std::vector<IndustryFigures> out;
    for (auto& [code, f] : found) {
        const auto days = static_cast<double>(f.days);
        f.rank_ic_mean = f.days > 0 ? f.rank_ic_mean / days : kNaN;
        f.stocks_mean = f.days > 0 ? f.stocks_mean / days : kNaN;
        out.push_back(f);
    }
    return out;
}

}  // namespace

FactorAnalysisFigures factor_analysis_figures(const GroupOutputs& out, const std::vector<std::int64_t>& traded_rows,
                                              std::span<const std::int32_t> months) {
    FactorAnalysisFigures f;
    const FactorDates& d = out.dates;
    const auto rows = static_cast<std::size_t>(out.n_rows);
    const int groups = out.group_num;

    for (std::size_t k = 0; k < kHorizonCount; ++k) {
        f.ic[k] = moments_of(horizon_column(d.ic, k));
        f.rank_ic[k] = k == 0 ? moments_of(out.rank_ic) : moments_of(horizon_column(d.rank_ic, k));
    }
    f.monthly_rank_ic = by_key(months, out.rank_ic);

    std::vector<double> group_means, group_numbers;
    f.turnover_by_lag.assign(static_cast<std::size_t>(groups) * kHorizonCount, kNaN);
    f.group_mean_return.assign(static_cast<std::size_t>(groups) * kHorizonCount, kNaN);
    f.group_mean_return_se.assign(static_cast<std::size_t>(groups) * kHorizonCount, kNaN);
    std::vector<double> column(rows);
    for (int g = 0; g < groups; ++g) {
        const auto G = static_cast<std::size_t>(groups), at = static_cast<std::size_t>(g);
        const std::vector<double> daily = group_column(out, traded_rows, g);
        f.groups.push_back(return_figures(daily));
        for (std::size_t k = 0; k < kHorizonCount; ++k) {
            for (std::size_t r = 0; r < rows; ++r) column[r] = d.turnover[(k * rows + r) * G + at];
            f.turnover_by_lag[at * kHorizonCount + k] = finite_mean(column);
            for (std::size_t r = 0; r < rows; ++r) column[r] = d.group_mean[(k * rows + r) * G + at];
            const Moments m = moments_of(column);
            f.group_mean_return[at * kHorizonCount + k] = m.mean;
            f.group_mean_return_se[at * kHorizonCount + k] = m.std / std::sqrt(static_cast<double>(m.count));
        }
        f.group_turnover.push_back(f.turnover_by_lag[at * kHorizonCount]);
        const double mean = finite_mean(daily);
        if (std::isnan(mean)) continue;
        group_means.push_back(mean);
        group_numbers.push_back(g + 1);
    }
    f.long_short = return_figures(
        long_short_returns(group_column(out, traded_rows, groups - 1), group_column(out, traded_rows, 0)));
    f.long_short_turnover = (f.group_turnover.front() + f.group_turnover.back()) / 2.0;
    SpearmanScratch scratch;
    f.monotonicity = spearman(group_numbers, group_means, scratch);
    for (std::size_t k = 0; k < kHorizonCount; ++k)
        f.rank_autocorr_by_lag[k] =
            finite_mean(std::vector<double>(d.rank_autocorr.begin() + static_cast<std::ptrdiff_t>(k * rows),
                                            d.rank_autocorr.begin() + static_cast<std::ptrdiff_t>((k + 1) * rows)));
    f.rank_autocorr = f.rank_autocorr_by_lag[0];

    f.coverage.assign(rows, kNaN);
    for (std::size_t r = 0; r < rows; ++r) {
        if (d.universe[r] == 0) continue;
        std::int64_t ranked = 0;
        for (int g = 0; g < groups; ++g)
            ranked += out.sizes[r * static_cast<std::size_t>(groups) + static_cast<std::size_t>(g)];
        f.coverage[r] = static_cast<double>(ranked) / static_cast<double>(d.universe[r]);
    }
    f.coverage_mean = finite_mean(f.coverage);
    f.industries = industry_figures(d.industry);
    return f;
}

std::vector<NamedFigure> factor_summary_figures(const FactorAnalysisFigures& f) {
    const Moments& ic = f.rank_ic[0];
    const ReturnFigures& ls = f.long_short;
    return {
        {"rank_ic_mean", ic.mean},
        {"rank_ic_std", ic.std},
        {"rank_ic_t_stat", ic.t_stat},
        {"rank_ic_p_value", ic.p_value},
        {"long_short_annual_return", ls.annual_return},
        {"long_short_sharpe", ls.sharpe},
        {"long_short_max_drawdown", ls.max_drawdown},
        {"monotonicity", f.monotonicity},
        {"long_short_turnover_daily", f.long_short_turnover},
        {"rank_autocorrelation", f.rank_autocorr},
        {"coverage", f.coverage_mean},
    };
}

}  // namespace lumora
