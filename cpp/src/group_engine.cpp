#include "lumora/group_engine.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "lumora/block_copier.hpp"
#include "lumora/large_array.hpp"
#include "lumora/parallel.hpp"
#include "lumora/ranking.hpp"
#include "lumora/stock_trade.hpp"
#include "lumora/strategy_stats.hpp"

namespace lumora {

std::vector<std::int32_t> group_cut(std::int64_t n, int groups) {
    std::vector<std::int32_t> out(static_cast<std::size_t>(n));
    const std::int64_t base = n / groups, remainder = n % groups;
    std::int64_t k = 0;
    for (int g = 0; g < groups; ++g) {
        const std::int64_t size = base + (g < remainder ? 1 : 0);
        for (std::int64_t m = 0; m < size; ++m) out[static_cast<std::size_t>(k++)] = g;
    }
    return out;
}

namespace {

// Dates are processed in blocks; within a block every table is read in its memory order.
constexpr std::int64_t kBlockRows = 64;

// The factor, validity and forward return of a block of dates, date-major, the next-open
// return the analysis's first horizon reads and the stocks' industries.
class BlockCells {
public:
    explicit BlockCells(const GroupInputs& in) {
        if (in.forward_source == ForwardSource::OpenPrices)
            forward_opens_ = std::make_unique<NextOpenReturns>(*in.forward);
        else if (in.analysis && in.opens != nullptr && !in.opens->adjusted_next_open)
            analysis_opens_ = std::make_unique<NextOpenReturns>(in.opens->open);
    }

    std::vector<double> factor, forward;  // factor is NaN where the stock is not usable
    std::vector<std::uint16_t> industry;  // ids, with the analysis's industry table
    std::vector<std::int32_t> valid;      // stocks with a valid close, per date

    void load(const GroupInputs& in, std::int64_t first, std::int64_t last, std::int64_t n, IndustryIds* ids) {
        const auto size = static_cast<std::size_t>((last - first) * n);
        factor.resize(size);
        // A factor table of whole float64 rows is read in place as it is masked, else its
        // block is copied out first.
        const std::optional<StridedBlock> factor_rows = copier_.float_rows(in.factor, first, last, 0, n);
        if (!factor_rows) copier_.copy(in.factor, first, last, 0, n, factor.data(), n, 1);
        // The validity likewise: read in place where it lies in whole float64 rows.
        const std::optional<StridedBlock> valid_rows = copier_.float_rows(in.valid, first, last, 0, n);
        if (!valid_rows) {
            close_valid_.resize(size);
            copier_.copy(in.valid, first, last, 0, n, close_valid_.data(), n, 1);
        }
        valid.assign(static_cast<std::size_t>(last - first), 0);
        for (std::int64_t b = 0; b < last - first; ++b) {
            const auto row = static_cast<std::size_t>(b * n);
            const double* given = factor_rows ? factor_rows->row_at(b) : &factor[row];
            const double* validity = valid_rows ? valid_rows->row_at(b) : &close_valid_[row];
            std::int32_t count = 0;
            for (std::size_t j = 0; j < static_cast<std::size_t>(n); ++j) {
                const double v = validity[j], f = given[j];
                const bool usable = std::isfinite(v) && v > 0.0;
                count += usable ? 1 : 0;
                factor[row + j] = usable && std::isfinite(f) ? f : kNaN;
            }
            valid[static_cast<std::size_t>(b)] = count;
        }
        switch (in.forward_source) {
            case ForwardSource::OpenPrices:
                forward_opens_->load(first, last, n, forward);
                break;
            case ForwardSource::Table:
                forward.resize(size);
                copier_.copy(*in.forward, first, last, 0, n, forward.data(), n, 1);
                break;
            case ForwardSource::AdjustedOpens:
                in.opens->adjusted_next_returns(first, last, n, forward);
                break;
            default:
                break;
        }
        if (analysis_opens_) analysis_opens_->prepare(first, last, n);
        if (ids != nullptr) {
            // Industry codes in whole float64 rows are numbered in place, else copied out.
            const std::optional<StridedBlock> code_rows = copier_.float_rows(*in.industry, first, last, 0, n);
            if (!code_rows) {
                codes_.resize(size);
                copier_.copy(*in.industry, first, last, 0, n, codes_.data(), n, 1);
            }
            industry.resize(size);
            for (std::int64_t b = 0; b < last - first; ++b)
                ids->map(code_rows ? code_rows->row_at(b) : &codes_[static_cast<std::size_t>(b * n)], n,
                         &industry[static_cast<std::size_t>(b * n)]);
        }
    }

    // Date `b`'s horizon-1 returns (the forward returns themselves where they come from the
    // opens); null without the analysis's opens.
    const double* next_open(const GroupInputs& in, std::int64_t b, std::int64_t n) {
        if (!in.analysis || in.opens == nullptr) return nullptr;
        if (analysis_opens_) return analysis_opens_->row(b, n);
        return &forward[static_cast<std::size_t>(b * n)];
    }

private:
    std::unique_ptr<NextOpenReturns> forward_opens_, analysis_opens_;
    std::vector<double> close_valid_, codes_;
    BlockCopier copier_;
};

// One date's groups: the usable stocks sorted by factor (ties by column) and cut.
class Grouping {
public:
    Grouping(int groups, bool ascending) : groups_(groups), direction_(ascending ? -1.0 : 1.0) {}

    // Writes each stock's group (-1 when unusable) and each group's size, and ranks the date.
    void assign(const double* factor, std::int64_t n, std::int16_t* group_of, std::int32_t* sizes) {
        std::fill(group_of, group_of + n, std::int16_t{-1});
        // Larger factor, larger group number; ascending reverses the direction. Every stock
        // is written and only the usable kept: no branch to mispredict.
        keys_.resize(static_cast<std::size_t>(n));
        stocks_.resize(static_cast<std::size_t>(n));
        std::size_t usable = 0;
        for (std::int64_t j = 0; j < n; ++j) {
            keys_[usable] = direction_ * factor[j];
            stocks_[usable] = static_cast<std::int32_t>(j);
            usable += std::isnan(factor[j]) ? 0 : 1;
        }
        radix_sort_items(keys_.data(), usable, radix_);
        // Group g takes sorted places start .. start + size - 1 (the first groups one more
        // where the stocks do not divide evenly, as group_cut cuts), which the ascending
        // order keeps, or reverses where the sort ran on the negated factor.
        ranked_.group_first.resize(static_cast<std::size_t>(groups_));
        ranked_.group_size.resize(static_cast<std::size_t>(groups_));
        const auto whole = static_cast<std::uint32_t>(usable);
        std::uint32_t start = 0;
        for (int g = 0; g < groups_; ++g) {
            const auto size =
                static_cast<std::uint32_t>(whole / groups_ + (static_cast<std::uint32_t>(g) < whole % groups_ ? 1 : 0));
            ranked_.group_first[static_cast<std::size_t>(g)] = direction_ < 0.0 ? whole - start - size : start;
            ranked_.group_size[static_cast<std::size_t>(g)] = size;
            sizes[g] = static_cast<std::int32_t>(size);
            start += size;
        }
        // The date's ranking in ascending factor order: the sort's order, reversed when it
        // ran on the negated factor. Each group's places are walked in turn, so a stock's
        // group is the walk's, not looked up.
        ranked_.stocks.resize(usable);
        ranked_.factor.resize(usable);
        auto place = [&](auto reversed) {
            std::size_t k = 0;
            for (int g = 0; g < groups_; ++g) {
                const std::size_t end = k + ranked_.group_size[static_cast<std::size_t>(g)];
                for (; k < end; ++k) {
                    const std::int32_t j = stocks_[radix_.a[k].index];
                    group_of[j] = static_cast<std::int16_t>(g);
                    const std::size_t at = reversed ? usable - 1 - k : k;
                    ranked_.stocks[at] = j;
                    ranked_.factor[at] = factor[j];
                }
            }
        };
        if (direction_ < 0.0)
            place(std::true_type{});
        else
            place(std::false_type{});
        ranked_.tied = average_ranks_ascending(ranked_.factor, ranked_.ranks, ranked_.runs);
    }

    const RankedDate& ranked() const { return ranked_; }

private:
    int groups_;
    double direction_;
    std::vector<double> keys_;
    std::vector<std::int32_t> stocks_;
    RankedDate ranked_;
    RadixScratch radix_;
};

// Spearman correlation of factor and forward return over the usable stocks of one date
// with a forward return. The factor's order and ranks come from the grouping; the returns
// are ranked by ReturnRanks (by counting where they come as ranks).
class RankIc {
public:
    // `with_order`: the kept stocks' order by return is kept too (ReturnRanks::order).
    explicit RankIc(bool with_order = false) : ranks_(with_order) {}

    // `forward`: the returns (or their ranks) by stock; or `keys`: their dense ranks.
    double of(const RankedDate& today, const double* forward, const DenseRank* keys, std::int64_t n) {
        const std::size_t count =
            keys != nullptr ? kept_.keep(today, [&](std::int32_t s) { return keys[s] == kNoRank ? kNaN : 0.0; })
                            : kept_.keep(today, [&](std::int32_t s) { return forward[s]; });
        if (count < 2) return kNaN;
        ranks_.of(kept_, keys, n);
        return pearson_of_ranks(today.ranks_of(kept_, factor_rank_), ranks_.ranks(), count);
    }

    // The stocks and return ranks of the last date with a Rank IC.
    const KeptPairs& kept() const { return kept_; }
    const ReturnRanks& ranks() const { return ranks_; }

private:
    KeptPairs kept_;
    ReturnRanks ranks_;
    std::vector<double> factor_rank_;
};

// Positions of every group in every stock, and which groups hold each stock.
class GroupBook {
public:
    GroupBook(std::int64_t n, std::size_t groups)
        : groups_(groups), positions_(static_cast<std::size_t>(n) * groups, 0.0), held_(static_cast<std::size_t>(n)) {}

    bool idle(std::int64_t j, std::int16_t member) const {
        return member < 0 && held_[static_cast<std::size_t>(j)].empty();
    }

    // Trades stock j for every group that takes it (member) or still holds it; `trades`
    // says which groups trade today and `weight` their member weight.
    [[gnu::always_inline]] void trade(std::int64_t j, std::int16_t member, const StockDay& day,
                                      const std::int32_t* trades, const double* weight, const TradeCosts& costs,
                                      const FeeFactors& fees, DayPnl* pnl) {
        double* pos = &positions_[static_cast<std::size_t>(j) * groups_];
        std::vector<std::uint16_t>& held = held_[static_cast<std::size_t>(j)];
        const double lot = static_cast<double>(costs.lot_size);
        // The day's gains per share, found once for every group that trades the stock.
        const DayGains day_gains_once = day_gains(day, fees);
        auto gains = [&] { return day_gains_once; };
        // The member group trades toward its target first, then the groups that hold the stock.
        if (member >= 0 && trades[member] > 0)
            trade_stock_with(lot_target(costs.total_money, weight[member], day.prev_close, lot), pos[member], day,
                             gains, pnl[member]);
        // The usual days, each the walk below written out for it: a stock held by no group
        // (a member since not idle), or by one.
        if (held.empty()) {
            if (pos[member] != 0.0) held.push_back(static_cast<std::uint16_t>(member));
            return;
        }
        if (held.size() == 1) {
            const std::uint16_t g = held[0];
            if (static_cast<std::int16_t>(g) == member) {
                if (pos[member] == 0.0) held.clear();
                return;
            }
            if (trades[g] > 0) trade_stock_with(0.0, pos[g], day, gains, pnl[g]);
            const bool member_added = member >= 0 && pos[member] != 0.0;
            if (pos[g] == 0.0 && member_added)
                held[0] = static_cast<std::uint16_t>(member);
            else if (pos[g] == 0.0)
                held.clear();
            else if (member_added)
                held.push_back(static_cast<std::uint16_t>(member));
            return;
        }
        std::size_t kept = 0;
        bool member_held = false;
        for (const std::uint16_t g : held) {
            if (static_cast<std::int16_t>(g) != member && trades[g] > 0)
                trade_stock_with(0.0, pos[g], day, gains, pnl[g]);
            if (pos[g] == 0.0) continue;
            member_held = member_held || static_cast<std::int16_t>(g) == member;
            held[kept++] = g;
        }
        held.resize(kept);
        if (member >= 0 && !member_held && pos[member] != 0.0) held.push_back(static_cast<std::uint16_t>(member));
    }

private:
    std::size_t groups_;
    std::vector<double> positions_;  // stock-major
    std::vector<std::vector<std::uint16_t>> held_;
};

// How a tile's cells are read, fixed for the whole tile: the two trading flags both float64
// or both bool, the six prices float64, and every table's cells next to one another along
// the walk's inner index (the stocks when walked by date, the dates when walked by stock),
// so that a cell is one load from its table's line; any other tile reads each cell by its
// kind and both steps.
enum class TileReader { Float64Flags, BoolFlags, AnyKind };

template <TileReader R>
using TileReaderIs = std::integral_constant<TileReader, R>;

// The eight market tables over a tile of dates x stocks, seen stock by stock so that
// trading may walk the tile that way whatever the tables' layouts: a table laid out by
// stock with every label present is read in place, any other is copied out.
class MarketTile {
public:
    explicit MarketTile(const MarketArrays& m)
        : tables_{&m.can_buy, &m.cant_sell,  &m.split,     &m.dividend,
                  &m.close,   &m.prev_close, &m.buy_price, &m.sell_price} {}

    // Rows first..last-1 of stocks j0..j1-1. True where every table is laid out by date and
    // read in place: the tile is then best walked date by date.
    bool load(std::int64_t first, std::int64_t last, std::int64_t j0, std::int64_t j1) {
        span_ = last - first;
        // Each table's block as it lies, looked up once.
        std::array<std::optional<StridedBlock>, kMarketTables> strided;
        bool by_date = true;
        for (std::size_t t = 0; t < kMarketTables; ++t) {
            strided[t] = copier_.strided(*tables_[t], first, last, j0, j1);
            by_date = by_date && !column_major(*tables_[t]) && strided[t].has_value();
        }
        for (std::size_t t = 0; t < kMarketTables; ++t) {
            const AlignedMatrix& table = *tables_[t];
            const std::optional<StridedBlock> in_place = by_date || column_major(table) ? strided[t] : std::nullopt;
            in_place_[t] = in_place.has_value() && !by_date;  // prefetched when walked by stock
            if (in_place) {
                blocks_[t] = *in_place;
                continue;
            }
            cells_[t].resize(static_cast<std::size_t>(span_ * (j1 - j0)));
            copier_.copy(table, first, last, j0, j1, cells_[t].data(), 1, span_);
            blocks_[t] = StridedBlock{reinterpret_cast<const std::byte*>(cells_[t].data()), sizeof(double),
                                      static_cast<std::ptrdiff_t>(span_ * sizeof(double)), CellKind::Float64};
        }
        by_date_ = by_date;
        reader_ = choose_reader();
        return by_date;
    }

    TileReader reader() const { return reader_; }

    // Each table's line at outer index `o` (row `o` when walked by date, the tile's stock `o`
    // when walked by stock), for cells<R>.
    void lines(std::int64_t o, const std::byte** out) const {
        for (std::size_t t = 0; t < kMarketTables; ++t)
            out[t] = blocks_[t].origin + o * (by_date_ ? blocks_[t].row : blocks_[t].col);
    }

    // The cells at inner index `i` of the lines, read as reader R (not AnyKind) says.
    template <TileReader R>
    [[gnu::always_inline]] static StockDay cells(const std::byte* const* line, std::int64_t i) {
        static_assert(R != TileReader::AnyKind);
        auto number = [&](std::size_t t) { return reinterpret_cast<const double*>(line[t])[i]; };
        auto flag = [&](std::size_t t, bool missing) {
            if constexpr (R == TileReader::BoolFlags)
                return reinterpret_cast<const bool*>(line[t])[i];  // a bool cell is never missing
            else
                return trading_flag(number(t), missing);
        };
        return StockDay{flag(kCanBuy, kMissingCanBuy),
                        flag(kCantSell, kMissingCantSell),
                        number(kClose),
                        number(kPrevClose),
                        number(kSplit),
                        number(kDividend),
                        number(kBuy),
                        number(kSell)};
    }

    // Asks the cache for the tile's stock `k` of the tables read in place.
    void prefetch(std::int64_t k) const {
        for (std::size_t t = 0; t < kMarketTables; ++t)
            if (in_place_[t])
                for (std::int64_t b = 0; b < span_; b += kCellsPerLine)
                    __builtin_prefetch(blocks_[t].origin + b * blocks_[t].row + k * blocks_[t].col);
    }

    // Asks the cache for the tile's row `b` of every table (walked by date: each date's run
    // of stocks lies a row of the table away from the last, too far for the hardware to guess).
    void prefetch_row(std::int64_t b, std::int64_t width) const {
        for (std::size_t t = 0; t < kMarketTables; ++t) {
            const std::byte* row = blocks_[t].origin + b * blocks_[t].row;
            const std::ptrdiff_t line = 64;
            const std::ptrdiff_t bytes = (width - 1) * blocks_[t].col;
            for (std::ptrdiff_t at = 0; at <= bytes; at += line) __builtin_prefetch(row + at);
            __builtin_prefetch(row + bytes);
        }
    }

    // Row `b` of the tile's stock `k` (0-based within the tile).
    StockDay day(std::int64_t b, std::int64_t k) const {
        return stock_day([&](std::size_t t) { return blocks_[t].at(b, k); });
    }

private:
    TileReader choose_reader() const {
        auto fits = [&](std::size_t t, CellKind kind) {
            const std::ptrdiff_t inner = by_date_ ? blocks_[t].col : blocks_[t].row;
            const auto size = static_cast<std::ptrdiff_t>(kind == CellKind::Bool ? sizeof(bool) : sizeof(double));
            return blocks_[t].kind == kind && inner == size;
        };
        for (std::size_t t = kSplit; t < kMarketTables; ++t)
            if (!fits(t, CellKind::Float64)) return TileReader::AnyKind;
        if (fits(kCanBuy, CellKind::Float64) && fits(kCantSell, CellKind::Float64)) return TileReader::Float64Flags;
        if (fits(kCanBuy, CellKind::Bool) && fits(kCantSell, CellKind::Bool)) return TileReader::BoolFlags;
        return TileReader::AnyKind;
    }

    const AlignedMatrix* tables_[kMarketTables];
    StridedBlock blocks_[kMarketTables] = {};  // each table's tile, in place or in cells_
    bool in_place_[kMarketTables] = {};
    std::vector<double> cells_[kMarketTables];
    BlockCopier copier_;
    std::int64_t span_ = 0;
    bool by_date_ = false;
    TileReader reader_ = TileReader::AnyKind;
};

// One worker's tools for ranking a block of dates.
struct BlockRanker {
    BlockRanker(const GroupInputs& in, std::int64_t n, FactorDates& dates)
        : cells(in), grouping(in.group_num, in.ascending), rank_ic(in.analysis && in.industry != nullptr) {
        if (in.analysis) analysis = std::make_unique<DateAnalysis>(in.opens, in.group_num, dates);
        if (in.analysis && in.industry != nullptr) {
            industry = std::make_unique<IndustryRankIc>();
            industry_ids = std::make_unique<IndustryIds>(n);
        }
    }

    BlockCells cells;
    Grouping grouping;
    RankIc rank_ic;
    std::unique_ptr<DateAnalysis> analysis;
    std::unique_ptr<IndustryRankIc> industry;
    std::unique_ptr<IndustryIds> industry_ids;
};

}  // namespace

// Dates are ranked block by block on worker threads: a block's groups, Rank IC and analysis
// figures depend only on its own dates. Trading needs the day before's holdings, so blocks
// are traded one after another in date order, by whichever worker finds the next block
// ranked. The figures comparing dates some lags apart (turnover, rank autocorrelation) are
// found once every date is ranked. The results are the same for any number of workers.
GroupOutputs run_group_backtest(const GroupInputs& in) {
    const std::int64_t rows = in.factor.rows(), n = in.factor.cols();
    const int groups = in.group_num;
    const auto G = static_cast<std::size_t>(groups);
    GroupOutputs out;
    out.n_rows = rows;
    out.group_num = groups;
    out.daily.assign(static_cast<std::size_t>(rows) * G, kNaN);
    out.traded.assign(static_cast<std::size_t>(rows), false);
    out.rank_ic.assign(static_cast<std::size_t>(rows), kNaN);
    out.sizes.assign(static_cast<std::size_t>(rows) * G, 0);
    if (in.analysis) out.dates.reset(rows, groups);

    const MarketArrays& m = *in.market;
    const FeeFactors fees{1.0 + in.costs.fee, 1.0 - in.costs.fee - in.costs.rule_fee};
    const auto cells = static_cast<std::size_t>(rows * n);
    // Each date's groups (every cell written by the ranking) and member weights; with the
    // analysis, twice each stock's factor rank (0: unranked), for the lagged figures: 16 bits
    // where they hold it.
    auto member = std::make_unique_for_overwrite<std::int16_t[]>(cells);
    std::vector<double> weight(static_cast<std::size_t>(rows) * G, 0.0);
    const bool short_twice = n < kMostShortTwiceStocks;
    LargeArray<std::uint16_t> twice_short(in.analysis && short_twice ? cells : 0);
    LargeArray<std::uint32_t> twice_long(in.analysis && !short_twice ? cells : 0);
    auto write_twice = [&](std::int64_t row, const RankedDate& ranked, auto* table) {
        using Twice = std::remove_reference_t<decltype(*table)>;
        Twice* twice = table + row * n;
        std::fill(twice, twice + n, Twice{0});
        for (std::size_t k = 0; k < ranked.stocks.size(); ++k)
            twice[ranked.stocks[k]] = static_cast<Twice>(2.0 * ranked.ranks[k]);
    };

    auto rank_block = [&](BlockRanker& w, std::int64_t first, std::int64_t last) {
        w.cells.load(in, first, last, n, w.industry_ids.get());
        for (std::int64_t row = first; row < last; ++row) {
            const auto cell = static_cast<std::size_t>((row - first) * n);
            const double* factor = &w.cells.factor[cell];
            std::int16_t* group_of = &member[static_cast<std::size_t>(row * n)];
            std::int32_t* sizes = &out.sizes[static_cast<std::size_t>(row) * G];
            w.grouping.assign(factor, n, group_of, sizes);
            const RankedDate& ranked = w.grouping.ranked();
            for (std::size_t g = 0; g < G; ++g)
                weight[static_cast<std::size_t>(row) * G + g] =
                    sizes[g] > 0 ? 1.0 / static_cast<double>(sizes[g]) : 0.0;
            double& rank_ic = out.rank_ic[static_cast<std::size_t>(row)];
            if (in.forward_source == ForwardSource::WorkRanks) {
                if (in.opens->reaches(row, 1))
                    rank_ic = w.rank_ic.of(ranked, nullptr, in.opens->work->ranks_row(0, in.opens->work_row(row)), n);
            } else if (in.forward_source != ForwardSource::None) {
                rank_ic = w.rank_ic.of(ranked, &w.cells.forward[cell], nullptr, n);
            }
            if (!w.analysis) continue;
            out.dates.universe[static_cast<std::size_t>(row)] = w.cells.valid[static_cast<std::size_t>(row - first)];
            w.analysis->on_date(row, ranked, w.cells.next_open(in, row - first, n));
            if (w.industry && !std::isnan(rank_ic))
                w.industry->of(ranked, w.rank_ic.kept(), w.rank_ic.ranks().twice(), w.rank_ic.ranks().order(),
                               &w.cells.industry[cell], w.industry_ids->codes(),
                               out.dates.industry[static_cast<std::size_t>(row)]);
            if (short_twice)
                write_twice(row, ranked, twice_short.data());
            else
                write_twice(row, ranked, twice_long.data());
        }
    };

    // Trades each date of a block with the groups of the date before, a tile of stocks at a
    // time: each stock down the block's dates, or, where the tile's tables are laid out by
    // date, each date across the tile's stocks. Either way a stock's dates come in order and,
    // per date and group, stocks are added in column order: the same sums.
    constexpr std::int64_t kTileStocks = 128;
    GroupBook book(n, G);
    MarketTile tile(m);
    std::vector<DayPnl> pnl(static_cast<std::size_t>(kBlockRows) * G);
    std::vector<std::int16_t> tile_member(static_cast<std::size_t>(kBlockRows * kTileStocks));  // stock by stock
    auto trade_block = [&](std::int64_t first, std::int64_t last) {
        std::fill(pnl.begin(), pnl.end(), DayPnl{});
        const std::int64_t trade_first = std::max<std::int64_t>(first, 1);
        // A tile's walk with its reader R fixed: a stock's day is read by its cells' kinds and
        // both steps (AnyKind), or from the tables' lines of the date or of the stock.
        auto walk = [&]<TileReader R>(TileReaderIs<R>, bool by_date, std::int64_t j0, std::int64_t j1) {
            const std::byte* lines[kMarketTables];
            if (by_date) {
                for (std::int64_t p = trade_first; p < last; ++p) {
                    if (p + 1 < last) tile.prefetch_row(p + 1 - first, j1 - j0);
                    const std::int16_t* members = &member[static_cast<std::size_t>((p - 1) * n)];
                    const auto before = static_cast<std::size_t>(p - 1) * G;
                    DayPnl* day_pnl = &pnl[static_cast<std::size_t>(p - first) * G];
                    if constexpr (R != TileReader::AnyKind) tile.lines(p - first, lines);
                    for (std::int64_t j = j0; j < j1; ++j) {
                        if (book.idle(j, members[j])) continue;
                        if constexpr (R == TileReader::AnyKind)
                            book.trade(j, members[j], tile.day(p - first, j - j0), &out.sizes[before], &weight[before],
                                       in.costs, fees, day_pnl);
                        else
                            book.trade(j, members[j], MarketTile::cells<R>(lines, j - j0), &out.sizes[before],
                                       &weight[before], in.costs, fees, day_pnl);
                    }
                }
                return;
            }
            // The groups each date trades with (the date before's), read a date at a time.
            for (std::int64_t p = trade_first; p < last; ++p)
                for (std::int64_t j = j0; j < j1; ++j)
                    tile_member[static_cast<std::size_t>((j - j0) * kBlockRows + (p - first))] =
                        member[static_cast<std::size_t>((p - 1) * n + j)];
            for (std::int64_t j = j0; j < j1; ++j) {
                if (j + kAhead < j1) tile.prefetch(j + kAhead - j0);
                if constexpr (R != TileReader::AnyKind) tile.lines(j - j0, lines);
                for (std::int64_t p = trade_first; p < last; ++p) {
                    const std::int16_t mem = tile_member[static_cast<std::size_t>((j - j0) * kBlockRows + (p - first))];
                    if (book.idle(j, mem)) continue;
                    const auto before = static_cast<std::size_t>(p - 1) * G;
                    DayPnl* day_pnl = &pnl[static_cast<std::size_t>(p - first) * G];
                    if constexpr (R == TileReader::AnyKind)
                        book.trade(j, mem, tile.day(p - first, j - j0), &out.sizes[before], &weight[before], in.costs,
                                   fees, day_pnl);
                    else
                        book.trade(j, mem, MarketTile::cells<R>(lines, p - first), &out.sizes[before], &weight[before],
                                   in.costs, fees, day_pnl);
                }
            }
        };
        for (std::int64_t j0 = 0; j0 < n; j0 += kTileStocks) {
            const std::int64_t j1 = std::min(n, j0 + kTileStocks);
            const bool by_date = tile.load(first, last, j0, j1);
            switch (tile.reader()) {
                case TileReader::Float64Flags:
                    walk(TileReaderIs<TileReader::Float64Flags>{}, by_date, j0, j1);
                    break;
                case TileReader::BoolFlags:
                    walk(TileReaderIs<TileReader::BoolFlags>{}, by_date, j0, j1);
                    break;
                default:
                    walk(TileReaderIs<TileReader::AnyKind>{}, by_date, j0, j1);
                    break;
            }
        }
        for (std::int64_t p = trade_first; p < last; ++p) {
            const std::int32_t* trades = &out.sizes[static_cast<std::size_t>(p - 1) * G];
            for (std::size_t g = 0; g < G; ++g) {
                if (trades[g] == 0) continue;
                out.traded[static_cast<std::size_t>(p)] = true;
                out.daily[static_cast<std::size_t>(p) * G + g] =
                    pnl[static_cast<std::size_t>(p - first) * G + g].total() / in.costs.total_money;
            }
        }
    };

    const std::int64_t blocks = (rows + kBlockRows - 1) / kBlockRows;
    const int wanted = in.workers > 0 ? in.workers : worker_count(rows * n);
    const int workers = static_cast<int>(std::clamp<std::int64_t>(blocks, 1, wanted));
    std::vector<BlockRanker> rankers;
    rankers.reserve(static_cast<std::size_t>(workers));
    for (int w = 0; w < workers; ++w) rankers.emplace_back(in, n, out.dates);
    std::atomic<std::int64_t> next_rank{0};
    std::mutex mutex;  // guards the three below; taking it also publishes a ranked block
    std::vector<char> ranked(static_cast<std::size_t>(blocks), 0);
    std::int64_t next_trade = in.trade ? 0 : blocks;
    bool trading = false;
    auto bounds = [&](std::int64_t k) { return std::pair{k * kBlockRows, std::min(rows, (k + 1) * kBlockRows)}; };
    run_workers(workers, [&](int w) {
        for (;;) {
            std::int64_t trade = -1;
            {
                const std::lock_guard<std::mutex> lock(mutex);
                if (!trading && next_trade < blocks && ranked[static_cast<std::size_t>(next_trade)]) {
                    trading = true;
                    trade = next_trade;
                }
            }
            if (trade >= 0) {
                const auto [first, last] = bounds(trade);
                trade_block(first, last);
                const std::lock_guard<std::mutex> lock(mutex);
                trading = false;
                ++next_trade;
                continue;
            }
            // A worker that finds nothing left to rank stops; whoever ranks or trades last
            // finds the remaining blocks ready and trades them.
            const std::int64_t k = next_rank.fetch_add(1);
            if (k >= blocks) return;
            const auto [first, last] = bounds(k);
            rank_block(rankers[static_cast<std::size_t>(w)], first, last);
            const std::lock_guard<std::mutex> lock(mutex);
            ranked[static_cast<std::size_t>(k)] = 1;
        }
    });
    if (in.analysis && short_twice)
        lagged_figures(member.get(), out.sizes.data(), twice_short.data(), rows, n, groups, out.dates);
    else if (in.analysis)
        lagged_figures(member.get(), out.sizes.data(), twice_long.data(), rows, n, groups, out.dates);
    if (in.keep_members) out.members = std::move(member);
    return out;
}

}  // namespace lumora
