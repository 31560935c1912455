#pragma once
// The per-date figures of the factor analysis, filled by the group engine while it ranks
// each date: IC and Rank IC at several horizons, each group's turnover, the factor's rank
// autocorrelation and the size of the universe (for the coverage).

#include <array>
#include <cstdint>
#include <vector>

#include "lumora/block_copier.hpp"
#include "lumora/large_array.hpp"
#include "lumora/matrix_view.hpp"
#include "lumora/ranking.hpp"

namespace lumora {

// Horizons of the forward returns in trading days; the first is the engine's own Rank IC.
inline constexpr std::array<int, 4> kIcHorizons{1, 5, 10, 20};
inline constexpr std::size_t kHorizonCount = kIcHorizons.size();

// The engine's Rank IC return: open(t+2) / open(t+1) - 1 of each stock after factor date t,
// the dates mapped into the open table's own calendar; NaN where an open is missing. Read a
// block of dates at a time: the open table seen one and two of its own rows after each date,
// copied in its memory order, and divided. Where the block's dates follow one another in the
// open table, as they do unless the factor skips dates, each open row is copied once.
class NextOpenReturns {
public:
    explicit NextOpenReturns(const AlignedMatrix& open);

    // Dates first..last-1 of stocks 0..n-1 into out, date by date.
    void load(std::int64_t first, std::int64_t last, std::int64_t n, std::vector<double>& out);

private:
    AlignedMatrix next_, after_;
    AlignedMatrix chain_;        // next_ with one more row: the open row after the last date's
    std::vector<double> cells_;  // the block's open rows
    BlockCopier copier_;
};

// Open prices for the forward returns. A date's h-day return runs from the next open to the
// open h trading days later, in the open table's own calendar. Horizon 1 takes the opens as
// traded, like the engine's Rank IC; longer horizons take them adjusted (`adjusted`), so a
// split or a dividend inside the horizon is not read as a loss.
struct ForwardOpens {
    AlignedMatrix open;           // rows: factor dates -> the open table's own rows
    LargeArray<double> adjusted;  // open x adjustment level, row-major: open rows x stocks
};

// The adjustment level of every cell: 1 on a stock's first valid close, then multiplied on
// each later day with a valid close by split + dividend / close (missing split 1, missing
// dividend 0), and carried across days without one. open x level is the open of a holder
// who kept split shares and reinvested dividends at the close. Row-major rows x cols.
LargeArray<double> adjusted_opens(const AlignedMatrix& open, const AlignedMatrix& close, const AlignedMatrix& split,
                                  const AlignedMatrix& dividend);

// One date's usable stocks in ascending factor order (ties in the order the grouping's sort
// leaves them), with their factor values and average ranks: found once a date and read by
// the Rank IC and the analysis alike.
struct RankedDate {
    std::vector<std::int32_t> stocks;
    std::vector<double> factor;
    std::vector<double> ranks;
    bool tied = false;  // whether any two usable stocks share a factor value

    // The factor values and `returns` (by stock) of the stocks with a finite return, both
    // in factor order, into `kept_factor` and `kept_returns`; how many.
    std::size_t pairs_with(const double* returns, std::vector<double>& kept_factor,
                           std::vector<double>& kept_returns) const;

    // Average ranks of `kept_factor` as pairs_with left it: the date's own where every
    // usable stock was kept, else found in `scratch` (a subset of distinct values ranks
    // 1, 2, ..., without a look for ties).
    const double* ranks_of(const std::vector<double>& kept_factor, std::vector<double>& scratch) const;
};

struct FactorDates {
    std::vector<double> ic;              // n_rows x kHorizonCount, Pearson of factor and forward return
    std::vector<double> rank_ic;         // n_rows x kHorizonCount, Spearman (column 0 left to the engine)
    std::vector<double> turnover;        // n_rows x groups, share of a group's members new that date
    std::vector<double> rank_autocorr;   // n_rows, Pearson of the factor's ranks on this and the last date
    std::vector<std::int32_t> universe;  // n_rows, stocks with a valid close

    void reset(std::int64_t n_rows, int groups);
};

// Fills one row of FactorDates from the date's ranking. Each instance works through runs of
// consecutive dates; rows of different instances never overlap.
class DateAnalysis {
public:
    DateAnalysis(const ForwardOpens* opens, std::int64_t n_stocks, int groups, FactorDates& out);

    // Starts a run of consecutive dates: the rank autocorrelation of its first date compares
    // with the date before, given as that date's ranking (null: none).
    void start_run(const RankedDate* before);

    // `today`: the date's ranking; `next_open`: every stock's next-open return after the
    // date (see NextOpenReturns; read where there are opens); `group_of` / `sizes`: today's groups,
    // `previous_group_of` / `previous_sizes` those of the date before (null on the first date).
    void on_date(std::int64_t row, const RankedDate& today, const double* next_open, const std::int16_t* group_of,
                 const std::int32_t* sizes, const std::int16_t* previous_group_of, const std::int32_t* previous_sizes);

private:
    void horizon_ics(std::int64_t row, const RankedDate& today, const double* next_open);
    void turnover(std::int64_t row, const RankedDate& today, const std::int16_t* group_of, const std::int32_t* sizes,
                  const std::int16_t* previous_group_of, const std::int32_t* previous_sizes);
    void rank_autocorrelation(std::int64_t row, const RankedDate& today);
    void rank_today(const RankedDate& today);
    void keep_today(const RankedDate& today);

    const ForwardOpens* opens_;
    int groups_;
    FactorDates& out_;
    std::vector<double> all_forward_, factor_, forward_, factor_rank_, forward_rank_;
    RadixScratch radix_;
    std::vector<double> rank_now_, rank_before_;
    std::vector<std::int32_t> ranked_before_;
    std::vector<std::int32_t> fresh_;
};

}  // namespace lumora
