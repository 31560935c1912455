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
};

// `out` must come from a run with `analysis` set and its `rank_ic` filled (horizon 1);
// `traded_rows` are the rows any group traded; `months` the YYYYMM of every factor row.
FactorAnalysisFigures factor_analysis_figures(const GroupOutputs& out, const std::vector<std::int64_t>& traded_rows,
                                              std::span<const std::int32_t> months);

}  // namespace lumora
