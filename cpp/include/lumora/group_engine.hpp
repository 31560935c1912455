#pragma once
// Factor group backtest: each date the stocks with a finite factor and a valid close are
// ranked by factor and cut into equal-count groups; every group holds its members at equal
// weight and is traded the next day by the strategy engine's rules. All groups are
// simulated in one pass over the dates, each stock's market cells read once a day.

#include <cstdint>
#include <memory>
#include <vector>

#include "lumora/factor_dates.hpp"
#include "lumora/matrix_view.hpp"
#include "lumora/strategy_engine.hpp"

namespace lumora {

// Where the Rank IC's next-open returns come from.
enum class ForwardSource {
    None,
    Table,          // `forward`: the returns, or any monotone transform of them such as their ranks
    OpenPrices,     // `forward`: open prices to derive them from
    WorkRanks,      // the dense ranks of horizon 1 in the market's work (`opens`)
    AdjustedOpens,  // the adjusted opens of the market's work (`opens`)
};

struct GroupInputs {
    AlignedMatrix factor;                  // rows: factor dates, cols: stocks (finite = usable)
    AlignedMatrix valid;                   // close validity aligned to the factor
    const MarketArrays* market = nullptr;  // aligned to the factor
    ForwardSource forward_source = ForwardSource::None;
    const AlignedMatrix* forward = nullptr;  // aligned to the factor, for Table and OpenPrices
    // The per-date figures of the factor analysis are filled when `analysis` is set; the
    // horizon figures need `opens`, the Rank IC by industry `industry` (codes aligned to the
    // factor).
    bool analysis = false;
    const ForwardOpens* opens = nullptr;
    const AlignedMatrix* industry = nullptr;
    int group_num = 20;
    bool ascending = false;
    TradeCosts costs;
    bool trade = true;          // false: rank only (the groups and figures, no trading)
    bool keep_members = false;  // hand every date's groups out (GroupOutputs::members)
    int workers = 0;            // threads ranking the dates; 0: as many as the work is worth
};

struct GroupOutputs {
    std::int64_t n_rows = 0;
    int group_num = 0;
    std::vector<double> daily;        // n_rows x group_num, row-major; NaN where the group did not trade
    std::vector<bool> traded;         // rows on which any group traded
    std::vector<double> rank_ic;      // per factor row; NaN where undefined
    std::vector<std::int32_t> sizes;  // n_rows x group_num members per group and date
    FactorDates dates;                // per-date analysis figures (empty without `analysis`)
    // With `keep_members`: each date's group (0-based) of every stock, -1 where unranked,
    // n_rows x stocks.
    std::unique_ptr<std::int16_t[]> members;
};

GroupOutputs run_group_backtest(const GroupInputs& in);

// Group number (0-based) of each sorted position for `n` stocks in `groups` equal-count
// groups, the first groups taking the remainder one by one.
std::vector<std::int32_t> group_cut(std::int64_t n, int groups);

}  // namespace lumora
