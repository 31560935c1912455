#include "lumora/factor_dates.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

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

void NextOpenReturns::load(std::int64_t first, std::int64_t last, std::int64_t n, std::vector<double>& out) {
    const auto size = static_cast<std::size_t>((last - first) * n);
    // Each date's row after is the next date's row: rows first..last of chain_ hold both.
    bool chained = true;
    for (std::int64_t i = first; i < last; ++i)
        chained = chained && after_.row_pos[static_cast<std::size_t>(i)] >= 0 &&
                  after_.row_pos[static_cast<std::size_t>(i)] == chain_.row_pos[static_cast<std::size_t>(i + 1)];
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
    out.resize(size);
    for (std::size_t k = 0; k < size; ++k) out[k] = cells_[after + k] / cells_[k] - 1.0;
}

LargeArray<double> adjusted_opens(const AlignedMatrix& open, const AlignedMatrix& close, const AlignedMatrix& split,
                                  const AlignedMatrix& dividend) {
    const std::int64_t rows = open.view.rows, n = open.cols();
    LargeArray<double> out(static_cast<std::size_t>(rows * n));  // every cell written below
    // Stocks in chunks, each walked down its dates a tile of rows at a time: the four tables'
    // tiles are copied out in their own memory order, the output written a row's chunk at a
    // time. Chunks are independent, so workers take them in turn.
    constexpr std::int64_t kChunk = 64, kTileRows = 256;
    std::atomic<std::int64_t> next_chunk{0};
    run_workers(worker_count(rows * n), [&](int) {
        BlockCopier copier;
        std::vector<double> level(static_cast<std::size_t>(kChunk));
        std::vector<double> tiles[4];
        for (std::vector<double>& tile : tiles) tile.resize(static_cast<std::size_t>(kChunk * kTileRows));
        for (std::int64_t first = next_chunk.fetch_add(kChunk); first < n; first = next_chunk.fetch_add(kChunk)) {
            const std::int64_t last = std::min(n, first + kChunk), width = last - first;
            std::fill(level.begin(), level.end(), kNaN);
            for (std::int64_t r0 = 0; r0 < rows; r0 += kTileRows) {
                const std::int64_t r1 = std::min(rows, r0 + kTileRows);
                const AlignedMatrix* tables[4] = {&open, &close, &split, &dividend};
                for (std::size_t t = 0; t < 4; ++t)
                    copier.copy(*tables[t], r0, r1, first, last, tiles[t].data(), width, 1);
                for (std::int64_t b = 0; b < r1 - r0; ++b) {
                    const std::size_t at = static_cast<std::size_t>(b * width);
                    const double* opens = &tiles[0][at];
                    const double* closes = &tiles[1][at];
                    const double* splits = &tiles[2][at];
                    const double* dividends = &tiles[3][at];
                    double* row = &out[static_cast<std::size_t>((r0 + b) * n + first)];
                    for (std::int64_t k = 0; k < width; ++k) {
                        double& lv = level[static_cast<std::size_t>(k)];
                        const double price = closes[k];
                        if (std::isfinite(price) && price > 0.0) {
                            const double s = splits[k], d = dividends[k];
                            lv = std::isnan(lv) ? 1.0
                                                : lv * ((std::isnan(s) ? 1.0 : s) + (std::isnan(d) ? 0.0 : d) / price);
                        }
                        row[k] = opens[k] * lv;
                    }
                }
            }
        }
    });
    return out;
}

std::size_t RankedDate::pairs_with(const double* returns, std::vector<double>& kept_factor,
                                   std::vector<double>& kept_returns) const {
    // Every pair is written and only those with a return kept: no branch to mispredict.
    kept_factor.resize(stocks.size());
    kept_returns.resize(stocks.size());
    std::size_t count = 0;
    for (std::size_t m = 0; m < stocks.size(); ++m) {
        const double r = returns[stocks[m]];
        kept_factor[count] = factor[m];
        kept_returns[count] = r;
        count += std::isfinite(r) ? 1 : 0;
    }
    kept_factor.resize(count);
    kept_returns.resize(count);
    return count;
}

const double* RankedDate::ranks_of(const std::vector<double>& kept_factor, std::vector<double>& scratch) const {
    if (kept_factor.size() == stocks.size()) return ranks.data();
    if (tied)
        average_ranks_ascending(kept_factor, scratch);
    else
        distinct_ranks(kept_factor.size(), scratch);
    return scratch.data();
}

void FactorDates::reset(std::int64_t n_rows, int groups) {
    const auto rows = static_cast<std::size_t>(n_rows);
    ic.assign(rows * kHorizonCount, kNaN);
    rank_ic.assign(rows * kHorizonCount, kNaN);
    turnover.assign(rows * static_cast<std::size_t>(groups), kNaN);
    rank_autocorr.assign(rows, kNaN);
    universe.assign(rows, 0);
}

DateAnalysis::DateAnalysis(const ForwardOpens* opens, std::int64_t n_stocks, int groups, FactorDates& out)
    : opens_(opens),
      groups_(groups),
      out_(out),
      rank_now_(static_cast<std::size_t>(n_stocks), kNaN),
      rank_before_(static_cast<std::size_t>(n_stocks), kNaN),
      fresh_(static_cast<std::size_t>(groups), 0) {}

void DateAnalysis::on_date(std::int64_t row, const RankedDate& today, const double* next_open,
                           const std::int16_t* group_of, const std::int32_t* sizes,
                           const std::int16_t* previous_group_of, const std::int32_t* previous_sizes) {
    rank_today(today);
    if (opens_ != nullptr) horizon_ics(row, today, next_open);
    turnover(row, today, group_of, sizes, previous_group_of, previous_sizes);
    rank_autocorrelation(row, today);
}

// Pearson and Spearman correlation of the factor with each horizon's forward return over the
// usable stocks that have one. The factor's order is the grouping's, and where every usable
// stock has a return its ranks are today's; only the forward returns are sorted.
void DateAnalysis::horizon_ics(std::int64_t row, const RankedDate& today, const double* next_open) {
    const std::int64_t r = opens_->open.row_pos[static_cast<std::size_t>(row)];
    if (r < 0) return;
    const std::int64_t n = opens_->open.cols(), rows = opens_->open.view.rows;
    for (std::size_t k = 0; k < kHorizonCount; ++k) {
        const int h = kIcHorizons[k];
        if (r + 1 + h >= rows) continue;
        // The date's forward returns of every stock, read in memory order, then taken in
        // the factor's order.
        const double* returns = next_open;
        if (h > 1) {
            all_forward_.resize(static_cast<std::size_t>(n));
            const double* from = &opens_->adjusted[static_cast<std::size_t>((r + 1) * n)];
            const double* to = &opens_->adjusted[static_cast<std::size_t>((r + 1 + h) * n)];
            for (std::int64_t j = 0; j < n; ++j) all_forward_[static_cast<std::size_t>(j)] = to[j] / from[j] - 1.0;
            returns = all_forward_.data();
        }
        const std::size_t count = today.pairs_with(returns, factor_, forward_);
        const auto cell = static_cast<std::size_t>(row) * kHorizonCount + k;
        if (count < 2) continue;
        out_.ic[cell] = cross_pearson(factor_.data(), forward_.data(), count);
        if (k == 0) continue;  // the engine's own Rank IC
        average_ranks(forward_.data(), count, forward_rank_, radix_);
        out_.rank_ic[cell] = pearson_of_ranks(today.ranks_of(factor_, factor_rank_), forward_rank_.data(), count);
    }
}

// Share of each group's members today that were not in that group the date before.
void DateAnalysis::turnover(std::int64_t row, const RankedDate& today, const std::int16_t* group_of,
                            const std::int32_t* sizes, const std::int16_t* previous_group_of,
                            const std::int32_t* previous_sizes) {
    if (previous_group_of == nullptr) return;
    std::fill(fresh_.begin(), fresh_.end(), 0);
    for (const std::int32_t j : today.stocks) {
        const std::int16_t g = group_of[j];
        if (g >= 0 && previous_group_of[j] != g) ++fresh_[static_cast<std::size_t>(g)];
    }
    for (int g = 0; g < groups_; ++g) {
        if (sizes[g] == 0 || previous_sizes[g] == 0) continue;
        out_.turnover[static_cast<std::size_t>(row) * static_cast<std::size_t>(groups_) + static_cast<std::size_t>(g)] =
            static_cast<double>(fresh_[static_cast<std::size_t>(g)]) / static_cast<double>(sizes[g]);
    }
}

void DateAnalysis::start_run(const RankedDate* before) {
    for (const std::int32_t j : ranked_before_) rank_before_[static_cast<std::size_t>(j)] = kNaN;
    ranked_before_.clear();
    if (before == nullptr) return;
    rank_today(*before);
    keep_today(*before);
}

// Today's average ranks of the usable stocks, by stock, into rank_now_.
void DateAnalysis::rank_today(const RankedDate& today) {
    for (std::size_t m = 0; m < today.stocks.size(); ++m)
        rank_now_[static_cast<std::size_t>(today.stocks[m])] = today.ranks[m];
}

// Today's ranks become the date before's; the old ones are cleared.
void DateAnalysis::keep_today(const RankedDate& today) {
    for (const std::int32_t j : ranked_before_) rank_before_[static_cast<std::size_t>(j)] = kNaN;
    std::swap(rank_now_, rank_before_);
    ranked_before_.assign(today.stocks.begin(), today.stocks.end());
}

// Pearson correlation of the stocks' factor ranks (average ranks among the usable stocks)
// on this date and the date before, over the stocks ranked on both.
void DateAnalysis::rank_autocorrelation(std::int64_t row, const RankedDate& today) {
    forward_.clear();  // reused: today's ranks of the stocks ranked on both dates
    forward_rank_.clear();
    for (const std::int32_t j : ranked_before_) {
        const double now = rank_now_[static_cast<std::size_t>(j)];
        if (std::isnan(now)) continue;
        forward_.push_back(now);
        forward_rank_.push_back(rank_before_[static_cast<std::size_t>(j)]);
    }
    out_.rank_autocorr[static_cast<std::size_t>(row)] =
        cross_pearson(forward_.data(), forward_rank_.data(), forward_.size());
    keep_today(today);
}

}  // namespace lumora
