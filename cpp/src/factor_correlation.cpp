#include "lumora/factor_correlation.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "lumora/block_copier.hpp"
#include "lumora/parallel.hpp"
#include "lumora/ranking.hpp"

namespace lumora {

namespace {

// Dates read together from each table: a column-major table (pandas' own layout) gives four
// cache lines of one page per stock, so a block's copy meets a new page once per 32 dates
// rather than per 8. Every factor's twice-deviations of a block take 32 dates x 100 factors x
// 5,000 stocks x 2 bytes = 32 MB a worker.
constexpr std::int64_t kBlockDates = 32;
// Every worker adds up whole chunks of dates; the chunks are added in date order at the end,
// so the sums do not depend on which worker took which. At most kMostChunks of them, each a
// whole number of kChunkGrain dates (the chunks, and so the order in which the dates' figures
// are added, are those of every earlier build).
constexpr std::int64_t kChunkDates = 64;
constexpr std::int64_t kMostChunks = 32;
constexpr std::int64_t kChunkGrain = 8;
constexpr std::int64_t kWordBits = 64;
constexpr std::int64_t kLanes = 4;
// The products of the factors' deviations: stocks in tiles of kTileStocks (every factor's
// part of a tile, 100 factors x 1,024 stocks x 2 bytes, fits a core's second-level cache), each
// tile kTileRows factors against kTileCols others at once.
constexpr std::int64_t kTileStocks = 1024;
constexpr std::int64_t kTileRows = 2;
constexpr std::int64_t kTileCols = 4;
// Stocks a factor's row of deviations is padded to: one 16-byte register of 16-bit numbers.
constexpr std::int64_t kRowLanes = 8;
std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// The sums of a run of dates: per pair the correlations added and the dates counted, per
// factor whether it ranked two or more distinct values on any date.
struct Sums {
    std::vector<double> correlation;
    std::vector<std::int64_t> dates;
    std::vector<char> spread;

    explicit Sums(std::size_t factors)
        : correlation(factors * factors, 0.0), dates(factors * factors, 0), spread(factors, 0) {}
};

// Twice a deviation of an average rank from its mean, 2 * rank - (n + 1), is a whole number
// below n in size: 16 bits hold it up to 32,768 stocks ranked (and one product of two, doubled
// by a paired multiply-add, still fits 32 bits); a wider market keeps 32 bits.
constexpr std::int64_t kMostShortStocks = 32768;

// Sum over stocks k0..k1 of x[k] * y[k], exactly, in 64 bits.
template <class Twice>
void add_products(const Twice* const (&x)[kTileRows], const Twice* const (&y)[kTileCols], std::int64_t k0,
                  std::int64_t k1, std::int64_t, std::int64_t (&s)[kTileRows][kTileCols]) {
    for (std::int64_t k = k0; k < k1; ++k)
        for (std::int64_t i = 0; i < kTileRows; ++i)
            for (std::int64_t j = 0; j < kTileCols; ++j)
                s[i][j] += static_cast<std::int64_t>(x[i][k]) * static_cast<std::int64_t>(y[j][k]);
}

#if defined(__SSE2__)
// The same sums from 16-bit numbers, eight stocks at a time: a paired multiply-add gives four
// 32-bit sums of two products each; `run` of them are added in 32 bits before they are widened
// into the 64-bit totals, few enough that no 32-bit sum can overflow.
void add_products(const std::int16_t* const (&x)[kTileRows], const std::int16_t* const (&y)[kTileCols], std::int64_t k0,
                  std::int64_t k1, std::int64_t run, std::int64_t (&s)[kTileRows][kTileCols]) {
    for (std::int64_t start = k0; start < k1; start += run * kRowLanes) {
        const std::int64_t end = std::min(k1, start + run * kRowLanes);
        __m128i acc[kTileRows][kTileCols];
        for (auto& row : acc)
            for (__m128i& a : row) a = _mm_setzero_si128();
        for (std::int64_t k = start; k < end; k += kRowLanes) {
            // One of the four loaded at a time: the eight sums, two rows and one column fit
            // the sixteen registers without spilling.
            __m128i u[kTileRows];
            for (std::int64_t i = 0; i < kTileRows; ++i)
                u[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x[i] + k));
            for (std::int64_t j = 0; j < kTileCols; ++j) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y[j] + k));
                for (std::int64_t i = 0; i < kTileRows; ++i)
                    acc[i][j] = _mm_add_epi32(acc[i][j], _mm_madd_epi16(u[i], v));
            }
        }
        for (std::int64_t i = 0; i < kTileRows; ++i)
            for (std::int64_t j = 0; j < kTileCols; ++j) {
                alignas(16) std::int32_t lanes[4];
                _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc[i][j]);
                s[i][j] +=
                    (static_cast<std::int64_t>(lanes[0]) + lanes[1]) + (static_cast<std::int64_t>(lanes[2]) + lanes[3]);
            }
    }
}
#endif

// One worker's tables and buffers for ranking blocks of dates and pairing their factors;
// `Twice` holds twice the deviations of the ranks.
template <class Twice>
class ChunkRanker {
public:
    ChunkRanker(const ScreenFactors& in, std::int64_t n_stocks)
        : in_(in),
          n_(n_stocks),
          f_(static_cast<std::int64_t>(in.values.size())),
          rows_((f_ + kTileCols - 1) / kTileCols * kTileCols),
          stride_((n_stocks + kRowLanes - 1) / kRowLanes * kRowLanes),
          run_(products_per_run(n_stocks)),
          words_((n_stocks + kWordBits - 1) / kWordBits),
          cells_(at(kBlockDates * n_stocks)),
          valid_(in.validity.size(), std::vector<double>(at(kBlockDates * n_stocks))),
          twice_(at(kBlockDates * rows_ * stride_), Twice{0}),
          masks_(at(kBlockDates * f_ * words_)),
          squares_(at(kBlockDates * f_)),
          counts_(at(kBlockDates * f_)),
          spread_(at(kBlockDates * f_)),
          products_(at(rows_ * rows_)),
          class_of_(at(f_)),
          own_(at(f_ * f_)),
          known_(at(f_ * f_)) {}

    void add_dates(std::int64_t first, std::int64_t last, Sums& sums) {
        for (std::int64_t b0 = first; b0 < last; b0 += kBlockDates) {
            const std::int64_t b1 = std::min(last, b0 + kBlockDates);
            rank_block(b0, b1);
            for (std::int64_t b = 0; b < b1 - b0; ++b) pair_date(b, sums);
        }
    }

private:
    // Every factor's deviations of its ranks from their mean on every date of the block,
    // factor by factor (0 where the factor does not rank the stock), and the stocks it ranks.
    void rank_block(std::int64_t first, std::int64_t last) {
        const std::int64_t span = last - first;
        for (std::size_t v = 0; v < valid_.size(); ++v)
            copier_.copy(in_.validity[v], first, last, 0, n_, valid_[v].data(), n_, 1);
        for (std::int64_t f = 0; f < f_; ++f) {
            copier_.copy(in_.values[at(f)], first, last, 0, n_, cells_.data(), n_, 1);
            const std::vector<double>& valid = valid_[in_.validity_of[at(f)]];
            for (std::int64_t b = 0; b < span; ++b) rank_date(f, b, &cells_[at(b * n_)], &valid[at(b * n_)]);
        }
    }

    void rank_date(std::int64_t f, std::int64_t b, const double* cells, const double* valid) {
        // Every stock is written and only the usable kept: no branch to mispredict.
        values_.resize(at(n_));
        stocks_.resize(at(n_));
        std::size_t n = 0;
        for (std::int64_t k = 0; k < n_; ++k) {
            const double v = cells[k], ok = valid[k];
            values_[n] = v;
            stocks_[n] = k;
            n += std::isfinite(v) && std::isfinite(ok) && ok > 0.0 ? 1 : 0;
        }
        average_ranks(values_.data(), n, ranks_, radix_);
        // Ranks are whole or half numbers summing to n(n+1)/2, so the deviations are exact
        // multiples of 1/2 summing to 0 exactly, and their squares and products are exact
        // in any order of summation.
        const double mean = (static_cast<double>(n) + 1.0) / 2.0;
        Twice* twice = &twice_[at((b * rows_ + f) * stride_)];
        std::uint64_t* mask = &masks_[at((b * f_ + f) * words_)];
        std::fill(twice, twice + n_, Twice{0});
        std::fill(mask, mask + words_, std::uint64_t{0});
        double squares[kLanes] = {};
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t k = stocks_[i];
            const double d = ranks_[i] - mean;
            twice[k] = static_cast<Twice>(2.0 * d);
            squares[i % kLanes] += d * d;
            mask[k / kWordBits] |= std::uint64_t{1} << (k % kWordBits);
        }
        const double total = (squares[0] + squares[1]) + (squares[2] + squares[3]);
        squares_[at(b * f_ + f)] = total;
        counts_[at(b * f_ + f)] = static_cast<std::int64_t>(n);
        spread_[at(b * f_ + f)] = total > 0.0 ? 1 : 0;
    }

    // Sum over the stocks of the products of every pair's twice-deviations (D D^T of the
    // date's factors x stocks), in whole numbers: a tile of stocks at a time, small enough that
    // every factor's part of it stays in the core's own cache while all pairs read it, and
    // within a tile two factors against four others at once, so that each value loaded serves
    // four or two products. Whole-number sums are exact, so neither their order nor the tiling
    // matters; the zero rows and columns that pad the factors and stocks add nothing. A
    // product is a quarter of its sum of twice-deviations, exactly.
    void products_of(const Twice* d) {
        std::fill(products_.begin(), products_.end(), std::int64_t{0});
        for (std::int64_t k0 = 0; k0 < stride_; k0 += kTileStocks) {
            const std::int64_t k1 = std::min(stride_, k0 + kTileStocks);
            for (std::int64_t a = 0; a < rows_; a += kTileRows)
                for (std::int64_t c = a / kTileCols * kTileCols; c < rows_; c += kTileCols) tile(d, a, c, k0, k1);
        }
    }

    void tile(const Twice* d, std::int64_t a, std::int64_t c, std::int64_t k0, std::int64_t k1) {
        const Twice* const x[kTileRows] = {d + a * stride_, d + (a + 1) * stride_};
        const Twice* const y[kTileCols] = {d + c * stride_, d + (c + 1) * stride_, d + (c + 2) * stride_,
                                           d + (c + 3) * stride_};
        std::int64_t s[kTileRows][kTileCols] = {};
        add_products(x, y, k0, k1, run_, s);
        for (std::int64_t i = 0; i < kTileRows; ++i)
            for (std::int64_t j = 0; j < kTileCols; ++j) products_[at((a + i) * rows_ + c + j)] += s[i][j];
    }

    // Paired products a 32-bit lane may add before it is widened: each is at most 2 (n - 1)^2.
    static std::int64_t products_per_run(std::int64_t n) {
        const std::int64_t most = 2 * std::max<std::int64_t>(1, (n - 1) * (n - 1));
        return std::max<std::int64_t>(1, std::numeric_limits<std::int32_t>::max() / most);
    }

    // Factor a's deviations on the stocks it ranks and `other` does not: their count, sum and
    // sum of squares (its own sums less these are its sums on the shared stocks).
    struct OwnOnly {
        std::int64_t count = 0;
        double sum = 0.0, squares = 0.0;
    };
    OwnOnly own_only(const Twice* d, std::int64_t a, const std::uint64_t* mine, const std::uint64_t* other) const {
        OwnOnly out;
        for (std::int64_t w = 0; w < words_; ++w) {
            std::uint64_t bits = mine[w] & ~other[w];
            while (bits != 0) {
                const std::int64_t k = w * kWordBits + std::countr_zero(bits);
                bits &= bits - 1;
                const double v = 0.5 * static_cast<double>(d[a * stride_ + k]);
                ++out.count;
                out.sum += v;
                out.squares += v * v;
            }
        }
        return out;
    }

    // Factors ranking the same stocks on the date share a class (often most of a screen's
    // factors do: one validity table, the same missing values): class_of_[f] is the first
    // factor with f's stocks.
    void classify(const std::uint64_t* masks) {
        const auto bytes = static_cast<std::size_t>(words_) * sizeof(std::uint64_t);
        for (std::int64_t f = 0; f < f_; ++f) {
            class_of_[at(f)] = f;
            for (std::int64_t g = 0; g < f; ++g)
                if (class_of_[at(g)] == g && std::memcmp(masks + f * words_, masks + g * words_, bytes) == 0) {
                    class_of_[at(f)] = g;
                    break;
                }
        }
    }

    // Factor a's sums on the stocks it ranks and c does not: none where both rank the same
    // stocks, else computed once per class of c (they depend only on c's stocks).
    const OwnOnly& own_only_of(const Twice* d, const std::uint64_t* masks, std::int64_t a, std::int64_t c) {
        static const OwnOnly kNone;
        const std::int64_t k = class_of_[at(c)];
        if (k == class_of_[at(a)]) return kNone;
        const std::size_t slot = at(a * f_ + k);
        if (!known_[slot]) {
            own_[slot] = own_only(d, a, masks + a * words_, masks + k * words_);
            known_[slot] = 1;
        }
        return own_[slot];
    }

    void pair_date(std::int64_t b, Sums& sums) {
        const Twice* d = &twice_[at(b * rows_ * stride_)];
        const std::uint64_t* masks = &masks_[at(b * f_ * words_)];
        const char* spread = &spread_[at(b * f_)];
        const double* squares = &squares_[at(b * f_)];
        const std::int64_t* counts = &counts_[at(b * f_)];
        for (std::int64_t f = 0; f < f_; ++f) sums.spread[at(f)] |= spread[f];
        products_of(d);
        classify(masks);
        std::fill(known_.begin(), known_.end(), char{0});
        for (std::int64_t a = 0; a < f_; ++a) {
            if (!spread[a]) continue;
            for (std::int64_t c = a + 1; c < f_; ++c) {
                if (!spread[c]) continue;
                const OwnOnly& a_only = own_only_of(d, masks, a, c);
                const std::int64_t shared = counts[a] - a_only.count;
                if (shared < 2) continue;
                const OwnOnly& c_only = own_only_of(d, masks, c, a);
                // Sums over the shared stocks: each side's own total (its deviations sum to 0)
                // less the part on stocks the other does not rank.
                const double n = static_cast<double>(shared);
                const double sa = -a_only.sum, saa = squares[a] - a_only.squares;
                const double sc = -c_only.sum, scc = squares[c] - c_only.squares;
                const double va = n * saa - sa * sa, vc = n * scc - sc * sc;
                if (!(va > 0.0) || !(vc > 0.0)) continue;  // a side constant on the shared stocks
                const double product = 0.25 * static_cast<double>(products_[at(a * rows_ + c)]);
                const double r = (n * product - sa * sc) / std::sqrt(va * vc);
                sums.correlation[at(a * f_ + c)] += std::clamp(r, -1.0, 1.0);
                ++sums.dates[at(a * f_ + c)];
            }
        }
    }

    const ScreenFactors& in_;
    std::int64_t n_, f_;
    std::int64_t rows_;    // the factors padded with zero rows to whole tiles
    std::int64_t stride_;  // a factor's row of deviations: the stocks padded with zeros to whole lanes
    std::int64_t run_;
    std::int64_t words_;
    std::vector<double> cells_;
    std::vector<std::vector<double>> valid_;
    std::vector<Twice> twice_;
    std::vector<std::uint64_t> masks_;
    std::vector<double> squares_;
    std::vector<std::int64_t> counts_;
    std::vector<char> spread_;
    std::vector<std::int64_t> products_;
    std::vector<std::int64_t> class_of_;
    std::vector<OwnOnly> own_;  // by factor and class of the other factor
    std::vector<char> known_;
    std::vector<double> values_, ranks_;
    std::vector<std::int64_t> stocks_;
    RadixScratch radix_;
    BlockCopier copier_;
};

}  // namespace

std::vector<double> mean_rank_correlation(const ScreenFactors& in) {
    const auto f = static_cast<std::int64_t>(in.values.size());
    std::vector<double> out(at(f * f), kNaN);
    if (f == 0) return out;
    const std::int64_t rows = in.values[0].rows(), n = in.values[0].cols();
    const std::int64_t wanted = std::max(kChunkDates, (rows + kMostChunks - 1) / kMostChunks);
    const std::int64_t chunk_dates = (wanted + kChunkGrain - 1) / kChunkGrain * kChunkGrain;
    const std::int64_t chunks = (rows + chunk_dates - 1) / chunk_dates;
    std::vector<Sums> chunk_sums(at(chunks), Sums(at(f)));
    std::atomic<std::int64_t> next{0};
    const int workers = static_cast<int>(std::min<std::int64_t>(worker_count(rows * n * f), chunks));
    auto add_chunks = [&]<class Twice>() {
        run_workers(std::max(1, workers), [&](int) {
            ChunkRanker<Twice> ranker(in, n);
            for (std::int64_t c = next.fetch_add(1); c < chunks; c = next.fetch_add(1))
                ranker.add_dates(c * chunk_dates, std::min(rows, (c + 1) * chunk_dates), chunk_sums[at(c)]);
        });
    };
    if (n <= kMostShortStocks)
        add_chunks.template operator()<std::int16_t>();
    else
        add_chunks.template operator()<std::int32_t>();
    Sums total(at(f));
    for (const Sums& s : chunk_sums) {
        for (std::size_t k = 0; k < total.correlation.size(); ++k) {
            total.correlation[k] += s.correlation[k];
            total.dates[k] += s.dates[k];
        }
        for (std::size_t k = 0; k < total.spread.size(); ++k) total.spread[k] |= s.spread[k];
    }
    for (std::int64_t a = 0; a < f; ++a) {
        out[at(a * f + a)] = total.spread[at(a)] ? 1.0 : kNaN;
        for (std::int64_t c = a + 1; c < f; ++c) {
            const std::int64_t days = total.dates[at(a * f + c)];
            const double mean = days > 0 ? total.correlation[at(a * f + c)] / static_cast<double>(days) : kNaN;
            out[at(a * f + c)] = out[at(c * f + a)] = mean;
        }
    }
    return out;
}

std::vector<double> pairwise_pearson(const MatrixView& series) {
    const std::int64_t rows = series.rows, f = series.cols;
    std::vector<double> out(at(f * f), kNaN);
    std::vector<double> a_values, c_values;
    for (std::int64_t a = 0; a < f; ++a)
        for (std::int64_t c = a; c < f; ++c) {
            a_values.clear();
            c_values.clear();
            for (std::int64_t t = 0; t < rows; ++t) {
                const double x = series.value(t, a), y = series.value(t, c);
                if (!std::isfinite(x) || !std::isfinite(y)) continue;
                a_values.push_back(x);
                c_values.push_back(y);
            }
            const double r = cross_pearson(a_values.data(), c_values.data(), a_values.size());
            out[at(a * f + c)] = out[at(c * f + a)] = (a == c && !std::isnan(r)) ? 1.0 : r;
        }
    return out;
}

namespace {

// Positions of the finite p-values, the smallest first (ties in their order).
std::vector<std::size_t> ascending_finite(std::span<const double> p) {
    std::vector<std::size_t> order;
    for (std::size_t k = 0; k < p.size(); ++k)
        if (std::isfinite(p[k])) order.push_back(k);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return p[x] < p[y]; });
    return order;
}

}  // namespace

std::vector<double> benjamini_hochberg(std::span<const double> p) {
    std::vector<double> out(p.size(), kNaN);
    const std::vector<std::size_t> order = ascending_finite(p);
    const auto m = static_cast<double>(order.size());
    double smallest_above = 1.0;
    for (std::size_t i = order.size(); i-- > 0;) {
        smallest_above = std::min(smallest_above, p[order[i]] * m / static_cast<double>(i + 1));
        out[order[i]] = smallest_above;
    }
    return out;
}

std::vector<double> holm(std::span<const double> p) {
    std::vector<double> out(p.size(), kNaN);
    const std::vector<std::size_t> order = ascending_finite(p);
    const auto m = static_cast<double>(order.size());
    double largest_below = 0.0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        largest_below = std::max(largest_below, std::min(1.0, p[order[i]] * (m - static_cast<double>(i))));
        out[order[i]] = largest_below;
    }
    return out;
}

}  // namespace lumora
