#include "lumora/factor_dates.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "lumora/block_copier.hpp"
#include "lumora/parallel.hpp"

namespace lumora {

namespace {

// The open table with row i reading its own row `ahead` after date i's, absent where the
// date has no next-open return.
AlignedMatrix rows_after(const AlignedMatrix& open, std::int64_t ahead) {
    AlignedMatrix view = open;
    for (std::int64_t& r : view.row_pos) r = r >= 0 && r + 2 < open.view.rows ? r + ahead : -1;
    return view;
}

}  // namespace

NextOpenReturns::NextOpenReturns(const AlignedMatrix& open)
    : next_(rows_after(open, 1)), after_(rows_after(open, 2)), chain_(next_) {
    chain_.row_pos.push_back(after_.row_pos.empty() ? -1 : after_.row_pos.back());
}

bool NextOpenReturns::chained(std::int64_t first, std::int64_t last) const {
    // Each date's row after is the next date's row: rows first..last of chain_ hold both.
    bool chained = true;
    for (std::int64_t i = first; i < last; ++i)
        chained = chained && after_.row_pos[static_cast<std::size_t>(i)] >= 0 &&
                  after_.row_pos[static_cast<std::size_t>(i)] == chain_.row_pos[static_cast<std::size_t>(i + 1)];
    return chained;
}

void NextOpenReturns::prepare(std::int64_t first, std::int64_t last, std::int64_t n) {
    rows_ = chained(first, last) ? copier_.float_rows(chain_, first, last + 1, 0, n) : std::nullopt;
    if (!rows_) load(first, last, n, block_);
}

const double* NextOpenReturns::row(std::int64_t b, std::int64_t n) {
    if (!rows_) return &block_[static_cast<std::size_t>(b * n)];
    // As load divides chained rows read in place.
    const double *next = rows_->row_at(b), *later = rows_->row_at(b + 1);
    row_.resize(static_cast<std::size_t>(n));
    for (std::int64_t j = 0; j < n; ++j) row_[static_cast<std::size_t>(j)] = later[j] / next[j] - 1.0;
    return row_.data();
}

void NextOpenReturns::load(std::int64_t first, std::int64_t last, std::int64_t n, std::vector<double>& out) {
    const auto size = static_cast<std::size_t>((last - first) * n);
    const bool chained = this->chained(first, last);
    out.resize(size);
    // Chained rows of whole float64 rows are divided in place: date b's next opens are the
    // block's row b, the opens after them row b + 1.
    if (chained) {
        if (const std::optional<StridedBlock> rows = copier_.float_rows(chain_, first, last + 1, 0, n)) {
            for (std::int64_t b = 0; b < last - first; ++b) {
                const double *next = rows->row_at(b), *later = rows->row_at(b + 1);
                double* to = &out[static_cast<std::size_t>(b * n)];
                for (std::int64_t j = 0; j < n; ++j) to[j] = later[j] / next[j] - 1.0;
            }
            return;
        }
    }
    // The next opens at cells_[0..size), the opens after them from `after` on.
    std::size_t after = static_cast<std::size_t>(n);
    if (chained) {
        cells_.resize(size + after);
        copier_.copy(chain_, first, last + 1, 0, n, cells_.data(), n, 1);
    } else {
        after = size;
        cells_.resize(2 * size);
        copier_.copy(next_, first, last, 0, n, cells_.data(), n, 1);
        copier_.copy(after_, first, last, 0, n, cells_.data() + after, n, 1);
    }
    for (std::size_t k = 0; k < size; ++k) out[k] = cells_[after + k] / cells_[k] - 1.0;
}

void ForwardOpens::adjusted_next_returns(std::int64_t first, std::int64_t last, std::int64_t n,
                                         std::vector<double>& out) const {
    out.resize(static_cast<std::size_t>((last - first) * n));
    for (std::int64_t row = first; row < last; ++row) {
        double* cells = &out[static_cast<std::size_t>((row - first) * n)];
        if (!reaches(row, 1)) {
            std::fill(cells, cells + n, kNaN);
            continue;
        }
        const double* from = work->adjusted_row(work_row(row) + 1);
        const double* to = work->adjusted_row(work_row(row) + 2);
        for (std::int64_t j = 0; j < n; ++j) cells[j] = to[j] / from[j] - 1.0;
    }
}

const double* RankedDate::ranks_of(const KeptPairs& kept, std::vector<double>& scratch) const {
    const std::size_t count = kept.stocks.size();
    if (count == stocks.size()) return ranks.data();
    // Ranks 1, 2, ..., then each of the date's runs of equal values (none where untied)
    // given its mean over its kept stocks: the kept positions lo .. hi - 1, where lo is the
    // run's start less the stocks left out before it (hi likewise from its end).
    distinct_ranks(count, scratch);
    for (std::size_t r = 0; r < runs.size(); r += 2) {
        const std::uint32_t lo = kept.kept_before(runs[r]), hi = kept.kept_before(runs[r + 1]);
        if (hi - lo < 2) continue;
        const double rank = (static_cast<double>(lo + 1) + static_cast<double>(hi)) / 2.0;
        std::fill(scratch.begin() + lo, scratch.begin() + hi, rank);
    }
    return scratch.data();
}

void ReturnRanks::of(const KeptPairs& kept, const DenseRank* keys, std::int64_t n_stocks) {
    const std::size_t count = kept.stocks.size();
    twice_.resize(count);
    ranks_.resize(count);
    keys_.resize(count);
    std::size_t buckets = 0;
    if (keys != nullptr) {
        std::uint32_t top = 0;
        for (std::size_t i = 0; i < count; ++i) {
            keys_[i] = keys[kept.stocks[i]];
            top = std::max(top, keys_[i]);
        }
        buckets = static_cast<std::size_t>(top) + 1;
    } else {
        // Ranks already: every value a whole or half number in [0, n + 1]; twice each is a key,
        // written as the values are looked at (and of no use where they are not ranks).
        const double top = 2.0 * static_cast<double>(n_stocks) + 2.0;
        bool ranks = true;
        for (std::size_t i = 0; i < count; ++i) {
            const double twice = 2.0 * kept.returns[i], within = std::min(std::max(twice, 0.0), top);
            const auto whole = static_cast<std::int64_t>(within);
            ranks &= within == twice && static_cast<double>(whole) == within;
            keys_[i] = static_cast<std::uint32_t>(whole);
        }
        if (!ranks) {
            average_ranks(kept.returns.data(), count, ranks_, radix_);
            for (std::size_t i = 0; i < count; ++i) twice_[i] = static_cast<std::uint32_t>(2.0 * ranks_[i]);
            if (with_order_) {
                order_.resize(count);
                for (std::size_t k = 0; k < count; ++k) order_[k] = radix_.a[k].index;  // the sort's order
            }
            return;
        }
        buckets = static_cast<std::size_t>(top) + 1;
    }
    counted_twice_ranks(keys_.data(), count, buckets, twice_.data(), ends_);
    for (std::size_t i = 0; i < count; ++i) ranks_[i] = 0.5 * static_cast<double>(twice_[i]);
    if (!with_order_) return;
    // ends_[key] counts the keys below key: the counting sort's places.
    order_.resize(count);
    for (std::size_t i = 0; i < count; ++i) order_[ends_[keys_[i]]++] = static_cast<std::uint32_t>(i);
}

IndustryIds::IndustryIds(std::int64_t n_stocks)
    : last_code_(static_cast<std::size_t>(n_stocks), kNaN), last_id_(static_cast<std::size_t>(n_stocks), kNoIndustry) {}

void IndustryIds::map(const double* codes, std::int64_t n, std::uint16_t* ids) {
    for (std::int64_t j = 0; j < n; ++j) {
        const double code = codes[j];
        const auto s = static_cast<std::size_t>(j);
        if (code == last_code_[s]) {
            ids[j] = last_id_[s];
            continue;
        }
        if (std::isnan(code)) {
            ids[j] = kNoIndustry;
            continue;
        }
        auto found = std::find(codes_.begin(), codes_.end(), code);
        if (found == codes_.end()) {
            if (codes_.size() >= kNoIndustry) throw std::length_error("more than 65,534 industry codes");
            found = codes_.insert(codes_.end(), code);
        }
        last_code_[s] = code;
        last_id_[s] = static_cast<std::uint16_t>(found - codes_.begin());
        ids[j] = last_id_[s];
    }
}

template <class Item>
void IndustryRankIc::places(std::size_t count, std::size_t industries, Item&& item, std::uint32_t* twice) {
    place_.assign(industries + 1, 0);
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t i = item(k);
        twice[i] = 2 * ++place_[ids_[i]];
    }
}

template <class Item>
void IndustryRankIc::share_run(std::size_t start, std::size_t end, Item&& item, std::uint32_t* twice) {
    // An industry's items in the run hold places one after another: the first place and the
    // last are twice their mean.
    ++run_;
    for (std::size_t t = start; t < end; ++t) {
        const std::uint32_t i = item(t), id = ids_[i], place = twice[i] / 2;
        if (seen_[id] != run_) {
            seen_[id] = run_;
            first_[id] = place;
        }
        last_[id] = place;
    }
    for (std::size_t t = start; t < end; ++t) {
        const std::uint32_t i = item(t), id = ids_[i];
        twice[i] = first_[id] + last_[id];
    }
}

// Each item's place in its industry is its industry's count so far, in one pass over the
// factor order and one over the return order. Items that tie within an industry tie in the
// whole order too, where ties lie side by side: only the runs of equal keys are looked at
// again, each industry's items there taking the mean of their places. The factor's runs are
// the date's runs of ties (their kept parts); the returns' are found in their order.
void IndustryRankIc::of(const RankedDate& today, const KeptPairs& kept, const std::uint32_t* return_twice,
                        const std::uint32_t* return_order, const std::uint16_t* ids, const std::vector<double>& codes,
                        std::vector<IndustryIc>& out) {
    const std::size_t count = kept.stocks.size(), industries = codes.size();
    const auto none = static_cast<std::uint32_t>(industries);  // the spare slot of stocks in no industry
    ids_.resize(count);
    factor_twice_.resize(count);
    return_twice_.resize(count);
    first_.resize(industries + 1);
    last_.resize(industries + 1);
    seen_.assign(industries + 1, 0);
    run_ = 0;
    auto in_order = [](std::size_t k) { return static_cast<std::uint32_t>(k); };
    // Ids are below `industries`, kNoIndustry at or above it: the smaller, with no branch.
    place_.assign(industries + 1, 0);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t id = std::min<std::uint32_t>(ids[kept.stocks[i]], none);
        ids_[i] = id;
        factor_twice_[i] = 2 * ++place_[id];
    }
    for (std::size_t r = 0; r < today.runs.size(); r += 2) {
        const std::uint32_t lo = kept.kept_before(today.runs[r]), hi = kept.kept_before(today.runs[r + 1]);
        if (hi - lo > 1) share_run(lo, hi, in_order, factor_twice_.data());
    }
    auto by_return = [&](std::size_t k) { return return_order[k]; };
    places(count, industries, by_return, return_twice_.data());
    for (std::size_t k = 1; k < count; ++k) {
        const std::uint32_t key = return_twice[return_order[k - 1]];
        if (return_twice[return_order[k]] != key) continue;
        std::size_t end = k + 1;
        while (end < count && return_twice[return_order[end]] == key) ++end;
        share_run(k - 1, end, by_return, return_twice_.data());
        k = end;  // the key at `end` differs from the run's
    }

    sums_.assign(industries + 1, TwiceRankSums{});
    for (std::size_t i = 0; i < count; ++i) sums_[ids_[i]].add(factor_twice_[i], return_twice_[i]);
    for (std::size_t id = 0; id < industries; ++id)
        if (sums_[id].count > 0)
            out.push_back({codes[id], sums_[id].correlation(), static_cast<std::int32_t>(sums_[id].count)});
}

void FactorDates::reset(std::int64_t n_rows, int n_groups) {
    rows = n_rows;
    groups = n_groups;
    const auto r = static_cast<std::size_t>(n_rows), g = static_cast<std::size_t>(n_groups);
    ic.assign(r * kHorizonCount, kNaN);
    rank_ic.assign(r * kHorizonCount, kNaN);
    group_mean.assign(kHorizonCount * r * g, kNaN);
    turnover.assign(kHorizonCount * r * g, kNaN);
    rank_autocorr.assign(kHorizonCount * r, kNaN);
    universe.assign(r, 0);
    industry.assign(r, {});
}

DateAnalysis::DateAnalysis(const ForwardOpens* opens, int groups, FactorDates& out)
    : opens_(opens), groups_(groups), out_(out) {}

// Pearson and Spearman correlation of the factor with each horizon's forward return over the
// usable stocks that have one, and each group's mean return. The factor's order is the
// grouping's, and where every usable stock has a return its ranks are today's; the returns
// are ranked by counting where the market's work holds their dense ranks.
void DateAnalysis::on_date(std::int64_t row, const RankedDate& today, const double* next_open) {
    if (opens_ == nullptr) return;
    const std::int64_t at = opens_->work_row(row);
    for (std::size_t k = 0; k < kHorizonCount; ++k) {
        const int h = kIcHorizons[k];
        if (!opens_->reaches(row, h)) continue;
        std::size_t count = 0;
        if (k == 0) {
            count = kept_.keep(today, [&](std::int32_t s) { return next_open[s]; });
        } else {
            // Every stock's return, the two rows read in their order (the work's rows are
            // far from the cache), then taken in the factor's order.
            const double* from = opens_->work->adjusted_row(at + 1);
            const double* to = opens_->work->adjusted_row(at + 1 + h);
            const auto n = static_cast<std::size_t>(opens_->work->cols);
            all_forward_.resize(n);
            for (std::size_t j = 0; j < n; ++j) all_forward_[j] = to[j] / from[j] - 1.0;
            count = kept_.keep(today, [&](std::int32_t s) { return all_forward_[static_cast<std::size_t>(s)]; });
        }
        if (count == 0) continue;
        const double mean = lane_sum(kept_.returns.data(), count) / static_cast<double>(count);
        group_means(k, row, today, mean);
        if (count < 2) continue;
        const auto cell = static_cast<std::size_t>(row) * kHorizonCount + k;
        const double factor_mean = lane_sum(kept_.factor.data(), count) / static_cast<double>(count);
        out_.ic[cell] = cross_pearson_about(kept_.factor.data(), kept_.returns.data(), count, factor_mean, mean);
        if (k == 0) continue;  // the engine's own Rank IC
        return_ranks_.of(kept_, opens_->work->ranked(k) ? opens_->work->ranks_row(k, at) : nullptr,
                         opens_->open.cols());
        out_.rank_ic[cell] = pearson_of_ranks(today.ranks_of(kept_, factor_rank_), return_ranks_.ranks(), count);
    }
}

// The groups' mean returns less the date's mean over the kept stocks (`mean`). A group's
// members are a run of the date's order, so its kept ones are a run of the kept stocks.
void DateAnalysis::group_means(std::size_t k, std::int64_t row, const RankedDate& today, double mean) {
    const std::vector<double>& returns = kept_.returns;
    for (int g = 0; g < groups_; ++g) {
        const std::uint32_t first = today.group_first[static_cast<std::size_t>(g)];
        const std::uint32_t last = first + today.group_size[static_cast<std::size_t>(g)];
        const std::size_t from = kept_.kept_before(first), to = kept_.kept_before(last);
        if (to == from) continue;
        const std::size_t count = to - from;
        out_.group_mean_at(k, row, g) = lane_sum(&returns[from], count) / static_cast<double>(count) - mean;
    }
}

namespace {

// The sums of twice-ranks over the stocks ranked on both dates (0: unranked). Every term is a
// whole number, and a run of stocks is kept short enough that its sums stay below 2^53, so
// each run is summed exactly in double lanes whatever the order of addition; the runs are
// then added as integers. Two stocks at a time side by side in vector registers: 64-bit
// integer products do not vectorise, and the compiler leaves scalar lanes in memory.
using Pair = double __attribute__((vector_size(2 * sizeof(double))));
using IntPair = std::int32_t __attribute__((vector_size(2 * sizeof(std::int32_t))));

// Two twice-ranks from `p` as signed 32-bit lanes.
IntPair twice_pair(const std::uint32_t* p) {
    IntPair out;
    std::memcpy(&out, p, sizeof(IntPair));
    return out;
}
IntPair twice_pair(const std::uint16_t* p) {
    using ShortPair = std::uint16_t __attribute__((vector_size(2 * sizeof(std::uint16_t))));
    ShortPair in;
    std::memcpy(&in, p, sizeof(ShortPair));
    return __builtin_convertvector(in, IntPair);
}

template <class Twice>
TwiceRankSums both_ranked_sums(const Twice* now, const Twice* before, std::int64_t n) {
    constexpr std::int64_t kLanes = 2;
    const double top = 2.0 * static_cast<double>(n) + 2.0;  // above any twice-rank
    const auto run = static_cast<std::int64_t>(
        std::max(static_cast<double>(kLanes), std::floor(9.0e15 / (top * top)) / kLanes * kLanes));
    TwiceRankSums out;
    auto whole = [](Pair lanes) { return static_cast<std::uint64_t>(lanes[0] + lanes[1]); };
    for (std::int64_t j0 = 0; j0 < n; j0 += run) {
        const std::int64_t j1 = std::min(n, j0 + run);
        Pair count = {}, sa = {}, sb = {}, sab = {}, saa = {}, sbb = {};
        auto add = [&](IntPair now_twice, IntPair before_twice) {
            // Twice-ranks are below 2^31: read as signed, which converts to double directly.
            const IntPair both = -((now_twice != 0) & (before_twice != 0));  // 1 where both rank it
            const Pair x = __builtin_convertvector(now_twice & -both, Pair);
            const Pair y = __builtin_convertvector(before_twice & -both, Pair);
            count += __builtin_convertvector(both, Pair);
            sa += x;
            sb += y;
            sab += x * y;
            saa += x * x;
            sbb += y * y;
        };
        std::int64_t j = j0;
        for (; j + kLanes <= j1; j += kLanes) add(twice_pair(now + j), twice_pair(before + j));
        if (j < j1)
            add(IntPair{static_cast<std::int32_t>(now[j]), 0}, IntPair{static_cast<std::int32_t>(before[j]), 0});
        out.count += whole(count);
        out.a += whole(sa);
        out.b += whole(sb);
        out.ab += whole(sab);
        out.aa += whole(saa);
        out.bb += whole(sbb);
    }
    return out;
}

// The same sums where twice the ranks come in 16 bits and are small enough that a run of
// products fits 32 bits: a run of stocks is summed in unsigned 32-bit lanes, which the
// compiler multiplies and adds several stocks at a time, and each run's sums are added as
// 64-bit integers. Exact, so the same sums as the double lanes give.
TwiceRankSums both_ranked_sums(const std::uint16_t* now, const std::uint16_t* before, std::int64_t n) {
    constexpr std::int64_t kStep = 16;
    const std::uint64_t top = 2 * static_cast<std::uint64_t>(n) + 2;  // above any twice-rank
    const std::int64_t run = static_cast<std::int64_t>(0xFFFFFFFFull / (top * top)) / kStep * kStep;
    if (run == 0) return both_ranked_sums<std::uint16_t>(now, before, n);
    TwiceRankSums out;
    for (std::int64_t j0 = 0; j0 < n; j0 += run) {
        const std::int64_t j1 = std::min(n, j0 + run);
        std::uint32_t count = 0, sa = 0, sb = 0, sab = 0, saa = 0, sbb = 0;
        for (std::int64_t j = j0; j < j1; ++j) {
            const std::uint32_t x0 = now[j], y0 = before[j];
            const std::uint32_t both = x0 != 0 && y0 != 0 ? 0xFFFFFFFFu : 0u;  // where both rank it
            const std::uint32_t x = x0 & both, y = y0 & both;
            count += both & 1u;
            sa += x;
            sb += y;
            sab += x * y;
            saa += x * x;
            sbb += y * y;
        }
        out.count += count;
        out.a += sa;
        out.b += sb;
        out.ab += sab;
        out.aa += saa;
        out.bb += sbb;
    }
    return out;
}

template <class Twice>
void lagged_figures_of(const std::int16_t* member, const std::int32_t* sizes, const Twice* twice_ranks,
                       std::int64_t rows, std::int64_t n, int groups, FactorDates& out) {
    const auto G = static_cast<std::size_t>(groups);
    constexpr std::int64_t kChunk = 32;
    // Members that stayed in their group are counted in four tables taken in turn (stock j
    // in table j % 4), so that one count need not wait for the last; unranked stocks count
    // in slot 0. Where a group's count fits 16 bits (fewer than 65,536 stocks), the lags'
    // counts share one 64-bit cell, 16 bits a lag, and one pass over a date counts them all.
    constexpr std::size_t kTables = 4;
    static_assert(kHorizonCount * 16 <= 64);
    const bool packed = n < 65536;
    const std::vector<std::int16_t> nowhere(packed ? static_cast<std::size_t>(n) : 0, -2);  // no group's
    std::atomic<std::int64_t> next{0};
    run_workers(worker_count(rows * n * static_cast<std::int64_t>(kHorizonCount)), [&](int) {
        std::vector<std::int32_t> stayed(kTables * (G + 1));
        std::vector<std::uint64_t> stayed_by_lag(packed ? kTables * (G + 1) : 0);
        for (std::int64_t first = next.fetch_add(kChunk); first < rows; first = next.fetch_add(kChunk)) {
            for (std::int64_t r = first; r < std::min(rows, first + kChunk); ++r) {
                const std::int16_t* now = member + r * n;
                const Twice* ranks_now = twice_ranks + r * n;
                if (packed) {
                    const std::int16_t* was[kHorizonCount];
                    for (std::size_t k = 0; k < kHorizonCount; ++k)
                        was[k] = r >= kIcHorizons[k] ? member + (r - kIcHorizons[k]) * n : nowhere.data();
                    std::fill(stayed_by_lag.begin(), stayed_by_lag.end(), 0);
                    for (std::int64_t j = 0; j < n; ++j) {
                        const std::int16_t g = now[j];
                        std::uint64_t cell = 0;
                        for (std::size_t k = 0; k < kHorizonCount; ++k)
                            cell |= static_cast<std::uint64_t>(was[k][j] == g ? 1 : 0) << (16 * k);
                        stayed_by_lag[static_cast<std::size_t>(j % kTables) * (G + 1) +
                                      static_cast<std::size_t>(g + 1)] += cell;
                    }
                }
                for (std::size_t k = 0; k < kHorizonCount; ++k) {
                    const std::int64_t lag = kIcHorizons[k];
                    if (r < lag) continue;
                    const std::int16_t* before = member + (r - lag) * n;
                    const Twice* ranks_before = twice_ranks + (r - lag) * n;
                    if (packed) {
                        for (std::size_t c = 0; c < stayed.size(); ++c)
                            stayed[c] = static_cast<std::int32_t>((stayed_by_lag[c] >> (16 * k)) & 0xFFFF);
                    } else {
                        std::fill(stayed.begin(), stayed.end(), 0);
                        for (std::int64_t j = 0; j < n; ++j) {
                            const std::int16_t g = now[j];
                            stayed[static_cast<std::size_t>(j % kTables) * (G + 1) + static_cast<std::size_t>(g + 1)] +=
                                before[j] == g ? 1 : 0;
                        }
                    }
                    const TwiceRankSums sums = both_ranked_sums(ranks_now, ranks_before, n);
                    out.rank_autocorr[k * static_cast<std::size_t>(rows) + static_cast<std::size_t>(r)] =
                        sums.correlation();
                    const std::int32_t* size_now = sizes + static_cast<std::size_t>(r) * G;
                    const std::int32_t* size_before = sizes + static_cast<std::size_t>(r - lag) * G;
                    double* turnover =
                        &out.turnover[(k * static_cast<std::size_t>(rows) + static_cast<std::size_t>(r)) * G];
                    for (std::size_t g = 0; g < G; ++g) {
                        if (size_now[g] == 0 || size_before[g] == 0) continue;
                        std::int32_t kept = 0;
                        for (std::size_t t = 0; t < kTables; ++t) kept += stayed[t * (G + 1) + g + 1];
                        turnover[g] = static_cast<double>(size_now[g] - kept) / static_cast<double>(size_now[g]);
                    }
                }
            }
        }
    });
}

}  // namespace

void lagged_figures(const std::int16_t* member, const std::int32_t* sizes, const std::uint32_t* twice_ranks,
                    std::int64_t rows, std::int64_t n, int groups, FactorDates& out) {
    lagged_figures_of(member, sizes, twice_ranks, rows, n, groups, out);
}

void lagged_figures(const std::int16_t* member, const std::int32_t* sizes, const std::uint16_t* twice_ranks,
                    std::int64_t rows, std::int64_t n, int groups, FactorDates& out) {
    lagged_figures_of(member, sizes, twice_ranks, rows, n, groups, out);
}

}  // namespace lumora
