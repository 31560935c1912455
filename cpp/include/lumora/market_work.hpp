#pragma once
// The market's share of a factor analysis, the same whatever the factor: the opens adjusted
// for splits and dividends, and on every date each horizon's forward returns ranked across
// the stocks. Built once from a market's tables and then only read, by any number of
// requests at a time; a request reads the window of dates it asks for.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumora/large_array.hpp"
#include "lumora/matrix_view.hpp"
#include "lumora/radix_sort.hpp"

namespace lumora {

// Horizons of the forward returns in trading days; the first is the engine's own Rank IC.
inline constexpr std::array<int, 4> kIcHorizons{1, 5, 10, 20};
inline constexpr std::size_t kHorizonCount = kIcHorizons.size();

// A date's forward returns as dense ranks: 0 for the lowest, each larger value one more,
// equal values sharing theirs, and kNoRank where the return is missing. A subset's average
// ranks follow from these by counting, with no sort.
using DenseRank = std::uint16_t;
inline constexpr DenseRank kNoRank = 0xFFFF;
// Markets of more stocks than dense ranks can number keep no ranks; their requests sort.
inline constexpr std::int64_t kMostRankedStocks = kNoRank;

struct MarketWork {
    std::int64_t rows = 0, cols = 0;  // dates of the market's calendar x stocks
    // The adjusted opens: open x adjustment level (see adjusted_opens), row-major. A date's
    // h-day forward return runs from the next open to the open h dates later:
    // adjusted(t + 1 + h) / adjusted(t + 1) - 1.
    LargeArray<double> adjusted;
    // Per horizon (kIcHorizons): every date's forward returns as dense ranks, row-major;
    // empty where not kept. Horizon 1 ranks the opens as traded, the longer horizons the
    // adjusted opens. A date whose horizon runs past the calendar has no ranks.
    std::array<LargeArray<DenseRank>, kHorizonCount> ranks;

    bool ranked(std::size_t k) const { return ranks[k].size() > 0; }
    const double* adjusted_row(std::int64_t r) const { return &adjusted[static_cast<std::size_t>(r * cols)]; }
    const DenseRank* ranks_row(std::size_t k, std::int64_t r) const {
        return &ranks[k][static_cast<std::size_t>(r * cols)];
    }
    // Memory held, in bytes.
    std::size_t bytes() const;
};

// The adjustment level of every cell: 1 on a stock's first valid close, then multiplied on
// each later day with a valid close by split + dividend / close (missing split 1, missing
// dividend 0), and carried across days without one. open x level is the open of a holder
// who kept split shares and reinvested dividends at the close. Row-major rows x cols.
LargeArray<double> adjusted_opens(const AlignedMatrix& open, const AlignedMatrix& close, const AlignedMatrix& split,
                                  const AlignedMatrix& dividend);

// The work of a market whose four tables are aligned to one calendar and one list of stocks
// (the rows and columns of `open`). Horizon 1 is ranked only with `rank_next_open` (a
// market that keeps a table of next-open return ranks of its own has no need of it).
MarketWork build_market_work(const AlignedMatrix& open, const AlignedMatrix& close, const AlignedMatrix& split,
                             const AlignedMatrix& dividend, bool rank_next_open);

// Dense ranks of the n values (NaN and infinities: kNoRank) into `out`. Scratch is the
// caller's, reused from date to date.
struct DenseRankScratch {
    std::vector<double> values;
    std::vector<std::uint32_t> stocks;
    RadixScratch radix;
};
void dense_ranks(const double* values, std::int64_t n, DenseRank* out, DenseRankScratch& scratch);

}  // namespace lumora
