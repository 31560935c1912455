#include "lumora/market_work.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "lumora/block_copier.hpp"
#include "lumora/parallel.hpp"

namespace lumora {

std::size_t MarketWork::bytes() const {
    std::size_t total = adjusted.size() * sizeof(double);
    for (const LargeArray<DenseRank>& table : ranks) total += table.size() * sizeof(DenseRank);
    return total;
}

LargeArray<double> adjusted_opens(const AlignedMatrix& open, const AlignedMatrix& close, const AlignedMatrix& split,
                                  const AlignedMatrix& dividend) {
    const std::int64_t rows = open.rows(), n = open.cols();
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

void dense_ranks(const double* values, std::int64_t n, DenseRank* out, DenseRankScratch& s) {
    std::fill(out, out + n, kNoRank);
    s.values.clear();
    s.stocks.clear();
    for (std::int64_t j = 0; j < n; ++j) {
        if (!std::isfinite(values[j])) continue;
        s.values.push_back(values[j]);
        s.stocks.push_back(static_cast<std::uint32_t>(j));
    }
    radix_sort_items(s.values.data(), s.values.size(), s.radix);
    DenseRank rank = 0;
    for (std::size_t k = 0; k < s.values.size(); ++k) {
        const std::uint32_t at = s.radix.a[k].index;
        if (k > 0 && s.values[at] != s.values[s.radix.a[k - 1].index]) ++rank;
        out[s.stocks[at]] = rank;
    }
}

MarketWork build_market_work(const AlignedMatrix& open, const AlignedMatrix& close, const AlignedMatrix& split,
                             const AlignedMatrix& dividend, bool rank_next_open) {
    MarketWork w;
    w.rows = open.rows();
    w.cols = open.cols();
    w.adjusted = adjusted_opens(open, close, split, dividend);
    if (w.cols >= kMostRankedStocks) return w;
    const auto cells = static_cast<std::size_t>(w.rows * w.cols);
    for (std::size_t k = rank_next_open ? 0 : 1; k < kHorizonCount; ++k) w.ranks[k] = LargeArray<DenseRank>(cells);

    // Dates in blocks, taken by the workers in turn; a date's ranks depend on nothing else.
    // Horizon 1 reads the opens as traded: a block copies the open rows its dates' next
    // opens need, in the open table's own memory order.
    constexpr std::int64_t kBlock = 64;
    const std::int64_t n = w.cols;
    std::atomic<std::int64_t> next_block{0};
    run_workers(worker_count(w.rows * n * static_cast<std::int64_t>(kHorizonCount)), [&](int) {
        BlockCopier copier;
        DenseRankScratch scratch;
        std::vector<double> opens, returns(static_cast<std::size_t>(n));
        for (std::int64_t first = next_block.fetch_add(kBlock); first < w.rows; first = next_block.fetch_add(kBlock)) {
            const std::int64_t last = std::min(w.rows, first + kBlock);
            // Open rows first + 1 .. last + 1 (those inside the calendar).
            const std::int64_t open_last = std::min(w.rows, last + 2);
            if (w.ranked(0) && first + 1 < open_last) {
                opens.resize(static_cast<std::size_t>((open_last - first - 1) * n));
                copier.copy(open, first + 1, open_last, 0, n, opens.data(), n, 1);
            }
            for (std::int64_t t = first; t < last; ++t) {
                for (std::size_t k = 0; k < kHorizonCount; ++k) {
                    if (!w.ranked(k)) continue;
                    DenseRank* out = &w.ranks[k][static_cast<std::size_t>(t * n)];
                    const std::int64_t h = kIcHorizons[k];
                    if (t + 1 + h >= w.rows) {
                        std::fill(out, out + n, kNoRank);
                        continue;
                    }
                    const double* from =
                        k == 0 ? &opens[static_cast<std::size_t>((t - first) * n)] : w.adjusted_row(t + 1);
                    const double* to = k == 0 ? from + n : w.adjusted_row(t + 1 + h);
                    for (std::int64_t j = 0; j < n; ++j) returns[static_cast<std::size_t>(j)] = to[j] / from[j] - 1.0;
                    dense_ranks(returns.data(), n, out, scratch);
                }
            }
        }
    });
    return w;
}

}  // namespace lumora
