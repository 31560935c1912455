#pragma once
// The per-date figures of the factor analysis, filled by the group engine while it ranks
// each date: IC and Rank IC at several horizons, each group's mean forward return, the Rank
// IC within each industry and the size of the universe (for the coverage); and, once every
// date is ranked, the group turnover and the factor's rank autocorrelation at several lags.

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "lumora/block_copier.hpp"
#include "lumora/market_work.hpp"
#include "lumora/matrix_view.hpp"
#include "lumora/ranking.hpp"

namespace lumora {

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

    // The same dates a date at a time: where the block's rows are read in place, each date's
    // returns are divided only when row() asks for them (and are then fresh in the cache for
    // a reader that picks stocks out of them in another order); else the block is loaded.
    void prepare(std::int64_t first, std::int64_t last, std::int64_t n);
    // Date first + b's returns (see prepare), valid until the next call.
    const double* row(std::int64_t b, std::int64_t n);

private:
    // Whether each date's row after is the next date's row, for dates first..last-1.
    bool chained(std::int64_t first, std::int64_t last) const;

    AlignedMatrix next_, after_;
    AlignedMatrix chain_;        // next_ with one more row: the open row after the last date's
    std::vector<double> cells_;  // the block's open rows
    BlockCopier copier_;
    std::optional<StridedBlock> rows_;  // prepare's rows read in place
    std::vector<double> block_, row_;   // prepare's loaded block; row()'s returns
};

// A request's forward returns: the window of a market's work it reads. A date's h-day
// return runs from the next open to the open h trading days later, in the open table's own
// calendar, and never past the window's last open: the window's open row r is the work's row
// `offset` + r. Horizon 1 takes the opens as traded, like the engine's Rank IC, unless
// `adjusted_next_open`; longer horizons take them adjusted, so a split or a dividend inside
// the horizon is not read as a loss.
struct ForwardOpens {
    AlignedMatrix open;  // rows: factor dates -> the window's open rows; columns: the work's
    const MarketWork* work = nullptr;
    std::int64_t offset = 0;
    std::int64_t span = 0;  // the window's open rows
    bool adjusted_next_open = false;

    // The work row of factor row `row`'s date; -1 where the date has no open row.
    std::int64_t work_row(std::int64_t row) const {
        const std::int64_t r = open.row_pos[static_cast<std::size_t>(row)];
        return r < 0 ? -1 : offset + r;
    }
    // Whether factor row `row` has an h-day forward return inside the window.
    bool reaches(std::int64_t row, int h) const {
        const std::int64_t r = open.row_pos[static_cast<std::size_t>(row)];
        return r >= 0 && r + 1 + h < span;
    }
    // Horizon 1 on the adjusted opens of dates first..last-1, stocks 0..n-1, into out (NaN
    // where the window ends first).
    void adjusted_next_returns(std::int64_t first, std::int64_t last, std::int64_t n, std::vector<double>& out) const;
};

struct KeptPairs;

// One date's usable stocks in ascending factor order (ties in the order the grouping's sort
// leaves them), with their factor values and average ranks: found once a date and read by
// the Rank IC and the analysis alike.
struct RankedDate {
    std::vector<std::int32_t> stocks;
    std::vector<double> factor;
    std::vector<double> ranks;
    bool tied = false;  // whether any two usable stocks share a factor value
    // The runs of equal factor values: positions runs[2i] .. runs[2i + 1] - 1.
    std::vector<std::uint32_t> runs;
    // Each group's members are a run of this order: group g's starts at group_first[g] and
    // holds group_size[g] stocks.
    std::vector<std::uint32_t> group_first, group_size;

    // Average ranks of the factor values of `kept` (a subset, in factor order): the date's
    // own where every usable stock was kept, else found in `scratch` (a subset of distinct
    // values ranks 1, 2, ..., the kept part of a run of ties their mean).
    const double* ranks_of(const KeptPairs& kept, std::vector<double>& scratch) const;
};

// The usable stocks of a date that have a forward return, in factor order: the stocks, their
// factor values and returns.
struct KeptPairs {
    std::vector<std::int32_t> stocks;
    std::vector<double> factor, returns;
    // Per position m of the date's order, and one past its last: the usable stocks before m
    // left out.
    std::vector<std::uint32_t> dropped;

    // The kept stocks before position m of the date's order (m up to its size): a run of
    // the date's positions start .. end - 1 keeps positions kept_before(start) ..
    // kept_before(end) - 1 of the kept stocks.
    std::uint32_t kept_before(std::uint32_t m) const { return m - dropped[m]; }

    // Keeps the stocks of `today` whose return(stock) is finite; how many.
    template <class Return>
    std::size_t keep(const RankedDate& today, Return&& return_of) {
        // Every pair is written and only those with a return kept: no branch to mispredict.
        const std::size_t n = today.stocks.size();
        stocks.resize(n);
        factor.resize(n);
        returns.resize(n);
        dropped.resize(n + 1);
        std::size_t count = 0;
        for (std::size_t m = 0; m < n; ++m) {
            const std::int32_t s = today.stocks[m];
            const double r = return_of(s);
            stocks[count] = s;
            factor[count] = today.factor[m];
            returns[count] = r;
            dropped[m] = static_cast<std::uint32_t>(m - count);
            count += std::isfinite(r) ? 1 : 0;
        }
        dropped[n] = static_cast<std::uint32_t>(n - count);
        stocks.resize(count);
        factor.resize(count);
        returns.resize(count);
        return count;
    }
};

// The average ranks of the kept stocks' returns among themselves, in the kept order: by
// counting where the returns come as dense ranks (`keys`, by stock), else by sorting the
// returns themselves. ranks() holds them, twice() twice them (whole numbers), and, where
// asked for (`with_order`), order() the kept stocks in ascending return order.
class ReturnRanks {
public:
    explicit ReturnRanks(bool with_order = false) : with_order_(with_order) {}

    // `keys`: the returns' dense ranks by stock, or null: the kept returns themselves are
    // ranked, by counting where they are ranks already (whole or half numbers up to
    // `n_stocks` + 1, as a table of next-open return ranks holds), else by a radix sort.
    void of(const KeptPairs& kept, const DenseRank* keys, std::int64_t n_stocks);
    const double* ranks() const { return ranks_.data(); }
    const std::uint32_t* twice() const { return twice_.data(); }
    const std::uint32_t* order() const { return order_.data(); }

private:
    bool with_order_;
    std::vector<std::uint32_t> keys_, twice_, ends_, order_;
    std::vector<double> ranks_;
    RadixScratch radix_;
};

// Industry codes (as the industry table holds them) numbered 0, 1, ... in the order first
// seen; kNoIndustry for a missing code. A stock's industry rarely changes from one date to
// the next: its last code is checked first, the short list of codes only when it differs.
inline constexpr std::uint16_t kNoIndustry = 0xFFFF;

class IndustryIds {
public:
    explicit IndustryIds(std::int64_t n_stocks);

    // Every stock's id on one date, from its code.
    void map(const double* codes, std::int64_t n, std::uint16_t* ids);
    const std::vector<double>& codes() const { return codes_; }

private:
    std::vector<double> codes_;      // id -> code
    std::vector<double> last_code_;  // per stock: the last code mapped, and its id
    std::vector<std::uint16_t> last_id_;
};

// The Rank IC of one date within each industry: the Spearman correlation of factor and
// forward return over the kept stocks of each industry (a stock without one is in none).
struct IndustryIc {
    double code;
    double rank_ic;  // NaN for fewer than two stocks or a constant side
    std::int32_t stocks;
};

class IndustryRankIc {
public:
    // `ids`: every stock's industry id on the date (IndustryIds, whose codes `codes` are);
    // `return_twice`: twice the kept stocks' return ranks among the kept, `return_order` the
    // kept stocks in ascending return order (ReturnRanks). Appends one figure per industry.
    // `kept`: the stocks of `today` kept for the engine's Rank IC.
    void of(const RankedDate& today, const KeptPairs& kept, const std::uint32_t* return_twice,
            const std::uint32_t* return_order, const std::uint16_t* ids, const std::vector<double>& codes,
            std::vector<IndustryIc>& out);

private:
    // Twice each item's place in its industry, the items in ascending order (item(k), the
    // k-th), into `twice` (by item).
    template <class Item>
    void places(std::size_t count, std::size_t industries, Item&& item, std::uint32_t* twice);
    // The items at positions start .. end - 1 of the order share a key: each industry's items
    // there take the mean of their places.
    template <class Item>
    void share_run(std::size_t start, std::size_t end, Item&& item, std::uint32_t* twice);

    std::vector<std::uint32_t> ids_;  // per kept stock: its industry id, `industries` for none
    // Per industry: its count so far, and in a run its first and last place and the run
    // (numbered by run_) it was last met in.
    std::vector<std::uint32_t> place_, first_, last_, seen_;
    std::uint32_t run_ = 0;
    std::vector<std::uint32_t> factor_twice_, return_twice_;
    std::vector<TwiceRankSums> sums_;
};

struct FactorDates {
    std::int64_t rows = 0;
    int groups = 0;
    std::vector<double> ic;                         // rows x kHorizonCount, Pearson of factor and forward return
    std::vector<double> rank_ic;                    // rows x kHorizonCount, Spearman (column 0 left to the engine)
    std::vector<double> group_mean;                 // kHorizonCount x rows x groups: each group's mean forward
                                                    // return less the date's mean over the kept stocks
    std::vector<double> turnover;                   // kHorizonCount x rows x groups: share of a group's members
                                                    // not in it kIcHorizons[k] dates before
    std::vector<double> rank_autocorr;              // kHorizonCount x rows: correlation of the stocks' factor
                                                    // ranks with theirs kIcHorizons[k] dates before
    std::vector<std::int32_t> universe;             // rows, stocks with a valid close
    std::vector<std::vector<IndustryIc>> industry;  // rows: horizon 1's Rank IC per industry

    void reset(std::int64_t n_rows, int n_groups);
    double& group_mean_at(std::size_t k, std::int64_t row, int g) {
        return group_mean[(k * static_cast<std::size_t>(rows) + static_cast<std::size_t>(row)) *
                              static_cast<std::size_t>(groups) +
                          static_cast<std::size_t>(g)];
    }
};

// Fills the horizon figures of one row of FactorDates from the date's ranking. Each
// instance works through its own dates; rows of different instances never overlap.
class DateAnalysis {
public:
    DateAnalysis(const ForwardOpens* opens, int groups, FactorDates& out);

    // `today`: the date's ranking and groups; `next_open`: every stock's horizon-1 return
    // after the date (read where there are opens).
    void on_date(std::int64_t row, const RankedDate& today, const double* next_open);

private:
    void group_means(std::size_t k, std::int64_t row, const RankedDate& today, double mean);

    const ForwardOpens* opens_;
    int groups_;
    FactorDates& out_;
    KeptPairs kept_;
    ReturnRanks return_ranks_;
    std::vector<double> all_forward_, factor_rank_;
};

// The group turnover and rank autocorrelation of every row at every lag, from each date's
// groups (`member`, rows x n, -1 where unranked), group sizes (rows x groups) and twice the
// factor's average ranks (`twice_ranks`, rows x n, 0 where unranked). Rows are shared among
// workers; each writes its own. Twice a rank is at most twice the stocks: 16 bits hold it
// for fewer than kMostShortTwiceStocks stocks, half the table to write and read again.
inline constexpr std::int64_t kMostShortTwiceStocks = 32767;
void lagged_figures(const std::int16_t* member, const std::int32_t* sizes, const std::uint32_t* twice_ranks,
                    std::int64_t rows, std::int64_t n, int groups, FactorDates& out);
void lagged_figures(const std::int16_t* member, const std::int32_t* sizes, const std::uint16_t* twice_ranks,
                    std::int64_t rows, std::int64_t n, int groups, FactorDates& out);

}  // namespace lumora
