#pragma once
// The figures of the factor analysis drawn from a group backtest's outputs: IC summaries by
// horizon, Rank IC by month, the groups' and the top-minus-bottom portfolio's return
// figures, turnover, rank autocorrelation, coverage and monotonicity.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "lumora/factor_dates.hpp"
#include "lumora/group_engine.hpp"
#include "lumora/return_figures.hpp"

namespace lumora {

// One industry's Rank IC over the dates: the mean of the dates' Rank IC within it, the
// dates that had one, and the mean number of its stocks on those dates.
struct IndustryFigures {
    double code;
    double rank_ic_mean;
    std::int64_t days;
    double stocks_mean;
};

struct FactorAnalysisFigures {
    std::array<Moments, kHorizonCount> ic, rank_ic;  // by horizon (kIcHorizons)
    KeyedFigures monthly_rank_ic;                    // keys YYYYMM, horizon 1
    std::vector<ReturnFigures> groups;               // per group, on the traded dates
    std::vector<double> group_turnover;              // per group, mean daily share of members replaced
    ReturnFigures long_short;                        // top group minus bottom group
    double long_short_turnover;                      // mean of the top and bottom groups' turnover
    double monotonicity;                             // Spearman of group number and mean daily group return
    double rank_autocorr;                            // mean over the dates
    std::vector<double> coverage;                    // per factor row: ranked stocks / stocks with a valid close
    double coverage_mean;
    // By lag (kIcHorizons, in dates of the factor): each group's mean turnover (groups x
    // lags, row-major) and the mean rank autocorrelation.
    std::vector<double> turnover_by_lag;
    std::array<double, kHorizonCount> rank_autocorr_by_lag;
    // By horizon: each group's mean over the dates of its mean forward return less the
    // date's mean, and the standard error of that mean (sample sd / sqrt(dates)); groups x
    // horizons, row-major, fractions.
    std::vector<double> group_mean_return, group_mean_return_se;
    std::vector<IndustryFigures> industries;  // in ascending code order
};

// `out` must come from a run with `analysis` set and its `rank_ic` filled (horizon 1);
// `traded_rows` are the rows any group traded; `months` the YYYYMM of every factor row.
FactorAnalysisFigures factor_analysis_figures(const GroupOutputs& out, const std::vector<std::int64_t>& traded_rows,
                                              std::span<const std::int32_t> months);

// The analysis summary in the record's order: the Rank IC of horizon 1, the top-minus-bottom
// figures, monotonicity, rank autocorrelation and coverage. A single-number figure added to
// FactorAnalysisFigures is shown by adding it here.
std::vector<NamedFigure> factor_summary_figures(const FactorAnalysisFigures& f);

}  // namespace lumora
