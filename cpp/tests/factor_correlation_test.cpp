#include "lumora/factor_correlation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "aligned_tables.hpp"

using namespace lumora;

namespace {

// Average ranks by sorting positions and walking runs of equal values: no radix sort, no
// twice-deviations, long double sums.
std::vector<long double> model_ranks(const std::vector<double>& values) {
    std::vector<std::size_t> order(values.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
    std::vector<long double> ranks(values.size());
    for (std::size_t i = 0; i < order.size();) {
        std::size_t j = i;
        while (j < order.size() && values[order[j]] == values[order[i]]) ++j;
        for (std::size_t k = i; k < j; ++k) ranks[order[k]] = (static_cast<long double>(i + 1) + j) / 2;
        i = j;
    }
    return ranks;
}

// The per-date Spearman correlation of two factors on the stocks both rank, each ranked over
// its own finite values, averaged over the dates where it is defined.
double model_mean_rank_correlation(const std::vector<double>& a, const std::vector<double>& b, std::int64_t dates,
                                   std::int64_t stocks) {
    long double total = 0;
    int counted = 0;
    for (std::int64_t t = 0; t < dates; ++t) {
        auto ranked = [&](const std::vector<double>& table) {
            std::vector<double> finite;
            std::vector<std::int64_t> where(static_cast<std::size_t>(stocks), -1);
            for (std::int64_t k = 0; k < stocks; ++k) {
                const double v = table[static_cast<std::size_t>(t * stocks + k)];
                if (std::isfinite(v)) {
                    where[static_cast<std::size_t>(k)] = static_cast<std::int64_t>(finite.size());
                    finite.push_back(v);
                }
            }
            const std::vector<long double> ranks = model_ranks(finite);
            std::vector<long double> out(static_cast<std::size_t>(stocks), NAN);
            for (std::int64_t k = 0; k < stocks; ++k)
                if (where[static_cast<std::size_t>(k)] >= 0)
                    out[static_cast<std::size_t>(k)] =
                        ranks[static_cast<std::size_t>(where[static_cast<std::size_t>(k)])];
            return out;
        };
        const std::vector<long double> ra = ranked(a), rb = ranked(b);
        std::vector<long double> x, y;
        for (std::int64_t k = 0; k < stocks; ++k)
            if (!std::isnan(ra[static_cast<std::size_t>(k)]) && !std::isnan(rb[static_cast<std::size_t>(k)])) {
                x.push_back(ra[static_cast<std::size_t>(k)]);
                y.push_back(rb[static_cast<std::size_t>(k)]);
            }
        const auto n = static_cast<long double>(x.size());
        const long double mx = std::accumulate(x.begin(), x.end(), 0.0L) / n;
        const long double my = std::accumulate(y.begin(), y.end(), 0.0L) / n;
        long double sxy = 0, sxx = 0, syy = 0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            sxy += (x[i] - mx) * (y[i] - my);
            sxx += (x[i] - mx) * (x[i] - mx);
            syy += (y[i] - my) * (y[i] - my);
        }
        if (x.size() < 2 || sxx == 0 || syy == 0) continue;
        total += sxy / std::sqrt(sxx * syy);
        ++counted;
    }
    return static_cast<double>(total / counted);
}

}  // namespace

// The products of the ranks' deviations are summed in 16-bit lanes up to 32,768 stocks (the
// widest market where one doubled product still fits 32 bits) and in wider numbers beyond.
// Both roads, at their edge, against the model: factors with ties, missing cells and every
// stock ranked (deviations as large as the market allows).
TEST(FactorCorrelation, MeanRankCorrelationAgreesWithSpearmanOnWideMarkets) {
    for (const std::int64_t stocks : {std::int64_t{32768}, std::int64_t{33000}}) {
        const std::int64_t dates = 2;
        std::mt19937_64 rng(static_cast<std::uint64_t>(stocks));
        std::normal_distribution<double> normal;
        std::vector<double> base(static_cast<std::size_t>(dates * stocks));
        for (double& v : base) v = normal(rng);
        std::vector<double> same = base, near = base, tied = base, mirror = base;
        for (std::size_t k = 0; k < base.size(); ++k) {
            near[k] = base[k] + 0.7 * normal(rng);
            tied[k] = std::round(base[k] * 4.0);  // heavy ties
            mirror[k] = -base[k];
            if (k % 13 == 0) near[k] = kNaN;
            if (k % 17 == 0) tied[k] = kNaN;
        }
        const std::vector<double> valid(base.size(), 1.0);
        const std::vector<std::vector<double>*> tables{&same, &near, &tied, &mirror};
        std::vector<AlignedMatrix> values;
        for (const auto* t : tables) values.push_back(test_tables::identity_aligned(*t, dates, stocks));
        const std::vector<AlignedMatrix> validity{test_tables::identity_aligned(valid, dates, stocks)};
        const std::vector<std::size_t> validity_of(tables.size(), 0);
        const std::vector<double> found = mean_rank_correlation({values, validity, validity_of});
        const std::size_t f = tables.size();
        for (std::size_t a = 0; a < f; ++a) {
            EXPECT_EQ(found[a * f + a], 1.0);
            for (std::size_t b = a + 1; b < f; ++b) {
                const double expected = model_mean_rank_correlation(*tables[a], *tables[b], dates, stocks);
                EXPECT_NEAR(found[a * f + b], expected, 1e-12) << stocks << " stocks, factors " << a << ", " << b;
                EXPECT_EQ(found[a * f + b], found[b * f + a]);
            }
        }
        EXPECT_NEAR(found[0 * f + 3], -1.0, 1e-15);
    }
}
