#pragma once
// Factor group backtest: each date the stocks with a finite factor and a valid close are
// ranked by factor and cut into equal-count groups; every group holds its members at equal
// weight and is traded the next day by the strategy engine's rules. All groups are
// simulated in one pass over the dates, each stock's market cells read once a day.

#include <cstdint>
#include <vector>

#include "lumora/factor_dates.hpp"
#include "lumora/matrix_view.hpp"
#include "lumora/strategy_engine.hpp"

namespace lumora {

struct GroupInputs {
    AlignedMatrix factor;                  // rows: factor dates, cols: stocks (finite = usable)
    AlignedMatrix valid;                   // close validity aligned to the factor
    const MarketArrays* market = nullptr;  // aligned to the factor
    // Next open-to-open return (or any monotone transform of it, such as its rank) aligned
    // to the factor; `forward_from_open` says it holds open prices to derive it from.
    const AlignedMatrix* forward = nullptr;
    bool forward_from_open = false;
    // The per-date figures of the factor analysis are filled when `analysis` is set; the
    // horizon ICs need `opens`.
    bool analysis = false;
    const ForwardOpens* opens = nullptr;
    int group_num = 20;
    bool ascending = false;
    TradeCosts costs;
    int workers = 0;  // threads ranking the dates; 0: as many as the work is worth
};

struct GroupOutputs {
    std::int64_t n_rows = 0;
    int group_num = 0;
    std::vector<double> daily;        // n_rows x group_num, row-major; NaN where the group did not trade
    std::vector<bool> traded;         // rows on which any group traded
    std::vector<double> rank_ic;      // per factor row; NaN where undefined
    std::vector<std::int32_t> sizes;  // n_rows x group_num members per group and date
    FactorDates dates;                // per-date analysis figures (empty without `analysis`)
};

GroupOutputs run_group_backtest(const GroupInputs& in);

// Group number (0-based) of each sorted position for `n` stocks in `groups` equal-count
// groups, the first groups taking the remainder one by one.
std::vector<std::int32_t> group_cut(std::int64_t n, int groups);

}  // namespace lumora
