#include "lumora/ranking.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "lumora/strategy_stats.hpp"

using namespace lumora;

namespace {

std::vector<double> average_ranks(const std::vector<double>& values) {
    RadixScratch radix;
    std::vector<double> ranks;
    lumora::average_ranks(values.data(), values.size(), ranks, radix);
    return ranks;
}

double spearman_of(const std::vector<double>& a, const std::vector<double>& b) {
    SpearmanScratch scratch;
    return spearman(a, b, scratch);
}

}  // namespace

TEST(Ranking, TiesShareTheMeanOfTheirPositions) {
    EXPECT_EQ(average_ranks({3.0, 1.0, 3.0, 2.0}), (std::vector<double>{3.5, 1.0, 3.5, 2.0}));
    EXPECT_EQ(average_ranks({7.0, 7.0, 7.0, 7.0}), (std::vector<double>{2.5, 2.5, 2.5, 2.5}));
    EXPECT_EQ(average_ranks({5.0}), (std::vector<double>{1.0}));
    EXPECT_TRUE(average_ranks({}).empty());
}

TEST(Ranking, SpearmanIsUndefinedForFewerThanTwoPairsUnequalSidesOrAConstantSide) {
    EXPECT_TRUE(std::isnan(spearman_of({}, {})));
    EXPECT_TRUE(std::isnan(spearman_of({1.0}, {2.0})));
    EXPECT_TRUE(std::isnan(spearman_of({1.0, 2.0, 3.0}, {1.0, 2.0})));
    EXPECT_TRUE(std::isnan(spearman_of({1.0, 2.0, 3.0}, {4.0, 4.0, 4.0})));  // all ties
}

TEST(Ranking, SpearmanSeesOnlyTheOrder) {
    const std::vector<double> x{0.1, 0.5, 0.2, 0.9};
    EXPECT_DOUBLE_EQ(spearman_of(x, {1.0, 125.0, 8.0, 729.0}), 1.0);  // any increasing transform
    EXPECT_DOUBLE_EQ(spearman_of(x, {-1.0, -125.0, -8.0, -729.0}), -1.0);
}

TEST(Ranking, SpearmanWithTiesIsPearsonOfAverageRanks) {
    // Ranks of a: 1, 2.5, 2.5, 4; ranks of b: 2, 1, 4, 3.
    // Centred: (-1.5, 0, 0, 1.5) and (-0.5, -1.5, 1.5, 0.5): sum of products 1.5,
    // squares 4.5 and 5, so 1.5 / sqrt(22.5).
    EXPECT_NEAR(spearman_of({1.0, 2.0, 2.0, 3.0}, {20.0, 10.0, 40.0, 30.0}), 1.5 / std::sqrt(22.5), 1e-15);
}

TEST(Ranking, AverageRanksOfNearTiesMatchCounting) {
    // Values only ulps apart share a sort slot; exact ties share a rank.
    // The model counts, for each value, the values below it and those equal to it.
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<int> step(-40, 40);
    std::vector<double> values(500);
    for (double& v : values) v = 0.25 + std::ldexp(step(rng), -50);
    RadixScratch radix;
    std::vector<double> ranks;
    average_ranks(values.data(), values.size(), ranks, radix);
    for (std::size_t k = 0; k < values.size(); ++k) {
        double below = 0.0, equal = 0.0;
        for (const double v : values) {
            below += v < values[k];
            equal += v == values[k];
        }
        ASSERT_EQ(ranks[k], below + (equal + 1.0) / 2.0) << k;
    }
}

TEST(Ranking, AscendingRanksSayWhetherAnyValuesTie) {
    // A date without ties lets any subset of its stocks rank 1, 2, ... unlooked; a date with
    // ties must say so, and its ranks still match counting.
    std::vector<double> sorted{-2.0, -2.0, -1.0, 0.0, 0.0, 0.0, 3.0, 4.0, 4.0};
    std::vector<double> ranks;
    EXPECT_TRUE(average_ranks_ascending(sorted, ranks));
    EXPECT_EQ(ranks, (std::vector<double>{1.5, 1.5, 3.0, 5.0, 5.0, 5.0, 7.0, 8.5, 8.5}));
    sorted = {-2.0, -1.0, 0.0, std::nextafter(0.0, 1.0), 4.0};
    EXPECT_FALSE(average_ranks_ascending(sorted, ranks));
    EXPECT_EQ(ranks, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0}));
    std::vector<double> distinct;
    distinct_ranks(sorted.size(), distinct);
    EXPECT_EQ(distinct, ranks);
}

TEST(Ranking, CrossSectionCorrelationsMatchTheSingleChainPearson) {
    // Sums in interleaved lanes: ranks (whole and half numbers, many ties) give pearson's
    // result to the last bit at any length; other values agree to rounding.
    std::mt19937_64 rng(17);
    std::uniform_int_distribution<int> coarse(0, 40);
    std::normal_distribution<double> normal;
    for (const std::size_t n : {2, 3, 5, 8, 999, 5001}) {
        std::vector<double> a(n), b(n), x(n), y(n);
        for (std::size_t k = 0; k < n; ++k) {
            a[k] = coarse(rng);
            b[k] = coarse(rng) + 0.5 * a[k];
            x[k] = normal(rng);
            y[k] = 0.3 * x[k] + normal(rng);
        }
        const std::vector<double> rank_a = average_ranks(a), rank_b = average_ranks(b);
        EXPECT_EQ(pearson_of_ranks(rank_a.data(), rank_b.data(), n), pearson(rank_a.data(), rank_b.data(), n)) << n;
        EXPECT_NEAR(cross_pearson(x.data(), y.data(), n), pearson(x.data(), y.data(), n), 1e-14) << n;
    }
    const std::vector<double> constant{2.0, 2.0, 2.0, 2.0, 2.0}, rising{1.0, 2.0, 3.0, 4.0, 5.0};
    EXPECT_TRUE(std::isnan(cross_pearson(constant.data(), rising.data(), 5)));
    EXPECT_TRUE(std::isnan(cross_pearson(rising.data(), rising.data(), 1)));
}
