#include "lumora/factor_correlation.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <numeric>

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
    // stock-major (0 where the factor does not rank the stock), and the stocks it ranks.
    void rank_block(std::int64_t first, std::int64_t last) {
        const std::int64_t span = last - first;
        for (std::size_t v = 0; v < valid_.size(); ++v)
            copier_.copy(in_.validity[v], first, last, 0, n_, valid_[v].data(), n_, 1);
        std::fill(deviations_.begin(), deviations_.end(), 0.0);
        std::fill(masks_.begin(), masks_.end(), std::uint64_t{0});
        for (std::int64_t f = 0; f < f_; ++f) {
            copier_.copy(in_.values[at(f)], first, last, 0, n_, cells_.data(), n_, 1);
            const std::vector<double>& valid = valid_[in_.validity_of[at(f)]];
            for (std::int64_t b = 0; b < span; ++b) rank_date(f, b, &cells_[at(b * n_)], &valid[at(b * n_)]);
        }
    }

    void rank_date(std::int64_t f, std::int64_t b, const double* cells, const double* valid) {
        values_.clear();
        stocks_.clear();
        for (std::int64_t k = 0; k < n_; ++k) {
            if (!std::isfinite(cells[k]) || !(std::isfinite(valid[k]) && valid[k] > 0.0)) continue;
            values_.push_back(cells[k]);
            stocks_.push_back(k);
        }
        const std::size_t n = values_.size();
        average_ranks(values_.data(), n, ranks_, radix_);
        // Ranks are whole or half numbers summing to n(n+1)/2, so the deviations are exact
        // multiples of 1/2 summing to 0 exactly, and their squares and products are exact.
        const double mean = (static_cast<double>(n) + 1.0) / 2.0;
        double* deviations = &deviations_[at(b * n_ * f_)];
        std::uint64_t* mask = &masks_[at((b * f_ + f) * words_)];
        double squares = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t k = stocks_[i];
            const double d = ranks_[i] - mean;
            deviations[k * f_ + f] = d;
            squares += d * d;
            mask[k / kWordBits] |= std::uint64_t{1} << (k % kWordBits);
        }
        squares_[at(b * f_ + f)] = squares;
        spread_[at(b * f_ + f)] = squares > 0.0 ? 1 : 0;
    }

    // Sum over the stocks of the products of every pair's deviations, four stocks a step, the
    // inner loop running along a contiguous row of factors.
    void products_of(const double* d) {
        std::fill(products_.begin(), products_.end(), 0.0);
        std::int64_t k = 0;
        for (; k + 4 <= n_; k += 4) {
            const double *r0 = d + k * f_, *r1 = r0 + f_, *r2 = r1 + f_, *r3 = r2 + f_;
            for (std::int64_t a = 0; a < f_; ++a) {
                const double w0 = r0[a], w1 = r1[a], w2 = r2[a], w3 = r3[a];
                if (w0 == 0.0 && w1 == 0.0 && w2 == 0.0 && w3 == 0.0) continue;
                double* row = &products_[at(a * f_)];
                for (std::int64_t c = a + 1; c < f_; ++c) row[c] += w0 * r0[c] + w1 * r1[c] + w2 * r2[c] + w3 * r3[c];
            }
        }
        for (; k < n_; ++k) {
            const double* r = d + k * f_;
            for (std::int64_t a = 0; a < f_; ++a) {
                double* row = &products_[at(a * f_)];
                for (std::int64_t c = a + 1; c < f_; ++c) row[c] += r[a] * r[c];
            }
        }
    }

    // The sum and sum of squares of factor a's deviations on the stocks it ranks and `other`
    // does not (its own sums less these are its sums on the shared stocks).
    void own_only(const double* d, std::int64_t a, const std::uint64_t* mine, const std::uint64_t* other, double& sum,
                  double& squares) const {
        sum = squares = 0.0;
        for (std::int64_t w = 0; w < words_; ++w) {
            std::uint64_t bits = mine[w] & ~other[w];
            while (bits != 0) {
                const std::int64_t k = w * kWordBits + std::countr_zero(bits);
                bits &= bits - 1;
                const double v = d[k * f_ + a];
                sum += v;
                squares += v * v;
            }
        }
    }

    void pair_date(std::int64_t b, Sums& sums) {
        const double* d = &deviations_[at(b * n_ * f_)];
        const std::uint64_t* masks = &masks_[at(b * f_ * words_)];
        const char* spread = &spread_[at(b * f_)];
        const double* squares = &squares_[at(b * f_)];
        for (std::int64_t f = 0; f < f_; ++f) sums.spread[at(f)] |= spread[f];
        products_of(d);
        for (std::int64_t a = 0; a < f_; ++a) {
            if (!spread[a]) continue;
            const std::uint64_t* ma = masks + a * words_;
            for (std::int64_t c = a + 1; c < f_; ++c) {
                if (!spread[c]) continue;
                const std::uint64_t* mc = masks + c * words_;
                std::int64_t shared = 0;
                for (std::int64_t w = 0; w < words_; ++w) shared += std::popcount(ma[w] & mc[w]);
                if (shared < 2) continue;
                double a_out = 0.0, aa_out = 0.0, c_out = 0.0, cc_out = 0.0;
                own_only(d, a, ma, mc, a_out, aa_out);
                own_only(d, c, mc, ma, c_out, cc_out);
                // Sums over the shared stocks: each side's own total (its deviations sum to 0)
                // less the part on stocks the other does not rank.
                const double n = static_cast<double>(shared);
                const double sa = -a_out, saa = squares[a] - aa_out;
                const double sc = -c_out, scc = squares[c] - cc_out;
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
