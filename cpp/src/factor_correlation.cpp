#include "lumora/factor_correlation.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <numeric>
#include <utility>

#include "lumora/block_copier.hpp"
#include "lumora/parallel.hpp"
#include "lumora/ranking.hpp"

namespace lumora {

namespace {

// Dates read together from each table: a column-major table gives a cache line per stock.
constexpr std::int64_t kBlockDates = 8;
// Every worker adds up whole chunks of dates; the chunks are added in date order at the end,
// so the sums do not depend on which worker took which. At most kMostChunks of them.
constexpr std::int64_t kChunkDates = 64;
constexpr std::int64_t kMostChunks = 32;
constexpr std::int64_t kWordBits = 64;
constexpr std::int64_t kLanes = 4;
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

// One worker's tables and buffers for ranking blocks of dates and pairing their factors.
class ChunkRanker {
public:
    ChunkRanker(const ScreenFactors& in, std::int64_t n_stocks)
        : in_(in),
          n_(n_stocks),
          f_(static_cast<std::int64_t>(in.values.size())),
          words_((n_stocks + kWordBits - 1) / kWordBits),
          cells_(at(kBlockDates * n_stocks)),
          valid_(in.validity.size(), std::vector<double>(at(kBlockDates * n_stocks))),
          deviations_(at(kBlockDates * n_stocks * f_)),
          masks_(at(kBlockDates * f_ * words_)),
          squares_(at(kBlockDates * f_)),
          counts_(at(kBlockDates * f_)),
          spread_(at(kBlockDates * f_)),
          products_(at(f_ * f_)) {}

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
        double* deviations = &deviations_[at((b * f_ + f) * n_)];
        std::uint64_t* mask = &masks_[at((b * f_ + f) * words_)];
        std::fill(deviations, deviations + n_, 0.0);
        std::fill(mask, mask + words_, std::uint64_t{0});
        double squares[kLanes] = {};
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t k = stocks_[i];
            const double d = ranks_[i] - mean;
            deviations[k] = d;
            squares[i % kLanes] += d * d;
            mask[k / kWordBits] |= std::uint64_t{1} << (k % kWordBits);
        }
        const double total = (squares[0] + squares[1]) + (squares[2] + squares[3]);
        squares_[at(b * f_ + f)] = total;
        counts_[at(b * f_ + f)] = static_cast<std::int64_t>(n);
        spread_[at(b * f_ + f)] = total > 0.0 ? 1 : 0;
    }

    // Sum over the stocks of the products of every pair's deviations: four pairs at a time
    // (each factor's row read once for four others), each sum in four lanes the compiler
    // keeps in vector registers. The sums are exact, so their order does not matter.
    void products_of(const double* d) {
        for (std::int64_t a = 0; a < f_; ++a) {
            const double* x = d + a * n_;
            std::int64_t c = a + 1;
            for (; c + 4 <= f_; c += 4) {
                const double* y[4] = {d + c * n_, d + (c + 1) * n_, d + (c + 2) * n_, d + (c + 3) * n_};
                double s[4][kLanes] = {};
                std::int64_t k = 0;
                for (; k + kLanes <= n_; k += kLanes)
                    for (int p = 0; p < 4; ++p)
                        for (std::int64_t l = 0; l < kLanes; ++l) s[p][l] += x[k + l] * y[p][k + l];
                for (int p = 0; p < 4; ++p) {
                    double total = (s[p][0] + s[p][1]) + (s[p][2] + s[p][3]);
                    for (std::int64_t r = k; r < n_; ++r) total += x[r] * y[p][r];
                    products_[at(a * f_ + c + p)] = total;
                }
            }
            for (; c < f_; ++c) {
                const double* y = d + c * n_;
                double s[kLanes] = {};
                std::int64_t k = 0;
                for (; k + kLanes <= n_; k += kLanes)
                    for (std::int64_t l = 0; l < kLanes; ++l) s[l] += x[k + l] * y[k + l];
                double total = (s[0] + s[1]) + (s[2] + s[3]);
                for (; k < n_; ++k) total += x[k] * y[k];
                products_[at(a * f_ + c)] = total;
            }
        }
    }

    // Factor a's deviations on the stocks it ranks and `other` does not: their count, sum and
    // sum of squares (its own sums less these are its sums on the shared stocks).
    struct OwnOnly {
        std::int64_t count = 0;
        double sum = 0.0, squares = 0.0;
    };
    OwnOnly own_only(const double* d, std::int64_t a, const std::uint64_t* mine, const std::uint64_t* other) const {
        OwnOnly out;
        for (std::int64_t w = 0; w < words_; ++w) {
            std::uint64_t bits = mine[w] & ~other[w];
            while (bits != 0) {
                const std::int64_t k = w * kWordBits + std::countr_zero(bits);
                bits &= bits - 1;
                const double v = d[a * n_ + k];
                ++out.count;
                out.sum += v;
                out.squares += v * v;
            }
        }
        return out;
    }

    void pair_date(std::int64_t b, Sums& sums) {
        const double* d = &deviations_[at(b * n_ * f_)];
        const std::uint64_t* masks = &masks_[at(b * f_ * words_)];
        const char* spread = &spread_[at(b * f_)];
        const double* squares = &squares_[at(b * f_)];
        const std::int64_t* counts = &counts_[at(b * f_)];
        for (std::int64_t f = 0; f < f_; ++f) sums.spread[at(f)] |= spread[f];
        products_of(d);
        for (std::int64_t a = 0; a < f_; ++a) {
            if (!spread[a]) continue;
            const std::uint64_t* ma = masks + a * words_;
            for (std::int64_t c = a + 1; c < f_; ++c) {
                if (!spread[c]) continue;
                const std::uint64_t* mc = masks + c * words_;
                const OwnOnly a_only = own_only(d, a, ma, mc);
                const std::int64_t shared = counts[a] - a_only.count;
                if (shared < 2) continue;
                const OwnOnly c_only = own_only(d, c, mc, ma);
                // Sums over the shared stocks: each side's own total (its deviations sum to 0)
                // less the part on stocks the other does not rank.
                const double n = static_cast<double>(shared);
                const double sa = -a_only.sum, saa = squares[a] - a_only.squares;
                const double sc = -c_only.sum, scc = squares[c] - c_only.squares;
                const double va = n * saa - sa * sa, vc = n * scc - sc * sc;
                if (!(va > 0.0) || !(vc > 0.0)) continue;  // a side constant on the shared stocks
                const double r = (n * products_[at(a * f_ + c)] - sa * sc) / std::sqrt(va * vc);
                sums.correlation[at(a * f_ + c)] += std::clamp(r, -1.0, 1.0);
                ++sums.dates[at(a * f_ + c)];
            }
        }
    }

    const ScreenFactors& in_;
    std::int64_t n_, f_, words_;
    std::vector<double> cells_;
    std::vector<std::vector<double>> valid_;
    std::vector<double> deviations_;
    std::vector<std::uint64_t> masks_;
    std::vector<double> squares_;
    std::vector<std::int64_t> counts_;
    std::vector<char> spread_;
    std::vector<double> products_;
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
    const std::int64_t chunk_dates = (wanted + kBlockDates - 1) / kBlockDates * kBlockDates;
    const std::int64_t chunks = (rows + chunk_dates - 1) / chunk_dates;
    std::vector<Sums> chunk_sums(at(chunks), Sums(at(f)));
    std::atomic<std::int64_t> next{0};
    const int workers = static_cast<int>(std::min<std::int64_t>(worker_count(rows * n * f), chunks));
    run_workers(std::max(1, workers), [&](int) {
        ChunkRanker ranker(in, n);
        for (std::int64_t c = next.fetch_add(1); c < chunks; c = next.fetch_add(1))
            ranker.add_dates(c * chunk_dates, std::min(rows, (c + 1) * chunk_dates), chunk_sums[at(c)]);
    });
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
