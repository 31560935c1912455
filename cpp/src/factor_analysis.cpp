#include "lumora/factor_analysis.hpp"

#include <cmath>

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
    for (int g = 0; g < groups; ++g) {
        const std::vector<double> daily = group_column(out, traded_rows, g);
        f.groups.push_back(return_figures(daily));
        std::vector<double> turnover(rows);
        for (std::size_t r = 0; r < rows; ++r)
            turnover[r] = d.turnover[r * static_cast<std::size_t>(groups) + static_cast<std::size_t>(g)];
        f.group_turnover.push_back(finite_mean(turnover));
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
    f.rank_autocorr = finite_mean(d.rank_autocorr);

    f.coverage.assign(rows, kNaN);
    for (std::size_t r = 0; r < rows; ++r) {
        if (d.universe[r] == 0) continue;
        std::int64_t ranked = 0;
        for (int g = 0; g < groups; ++g)
            ranked += out.sizes[r * static_cast<std::size_t>(groups) + static_cast<std::size_t>(g)];
        f.coverage[r] = static_cast<double>(ranked) / static_cast<double>(d.universe[r]);
    }
    f.coverage_mean = finite_mean(f.coverage);
    return f;
}

}  // namespace lumora
