#include "lumora/radix_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

using namespace lumora;

namespace {

std::vector<std::uint32_t> argsort(const std::vector<double>& keys, RadixScratch& scratch) {
    std::vector<std::uint32_t> order;
    radix_argsort(keys.data(), keys.size(), order, scratch);
    return order;
}

std::vector<std::uint32_t> argsort(const std::vector<double>& keys) {
    RadixScratch scratch;
    return argsort(keys, scratch);
}

// The order a stable comparison sort gives, -0.0 equal to 0.0 as in any comparison.
std::vector<std::uint32_t> stable_order(const std::vector<double>& keys) {
    std::vector<std::uint32_t> order(keys.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
    return order;
}

}  // namespace

TEST(RadixSort, EmptyInputGivesAnEmptyOrder) {
    RadixScratch scratch;
    std::vector<std::uint32_t> order{7, 8};
    radix_argsort(nullptr, 0, order, scratch);
    EXPECT_TRUE(order.empty());
}

TEST(RadixSort, AllTiesKeepTheirInputOrder) {
    // Every digit is shared: each pass is skipped and the input order must survive.
    EXPECT_EQ(argsort({2.5, 2.5, 2.5, 2.5}), (std::vector<std::uint32_t>{0, 1, 2, 3}));
}

TEST(RadixSort, NegativeZeroTiesWithZero) {
    EXPECT_EQ(argsort({0.0, -0.0, 1.0, -0.0, -1.0}), (std::vector<std::uint32_t>{4, 0, 1, 3, 2}));
}

TEST(RadixSort, ExtremesAndSubnormalsOrderLikeComparisons) {
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> keys{
        inf, -1.0, -inf, tiny, -tiny, 0.0, std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(),
        1.0, -tiny};
    EXPECT_EQ(argsort(keys), stable_order(keys));
}

TEST(RadixSort, KeysDifferingOnlyInTheLowestOrHighestDigit) {
    // Neighbouring doubles differ in the last bit only; opposite signs in the first.
    const double up = std::nextafter(1.0, 2.0);
    EXPECT_EQ(argsort({up, 1.0, up, 1.0}), (std::vector<std::uint32_t>{1, 3, 0, 2}));
    EXPECT_EQ(argsort({1.0, -1.0, 1.0}), (std::vector<std::uint32_t>{1, 0, 2}));
}

TEST(RadixSort, MatchesAStableSortWithManyTiesAndReusedScratch) {
    std::mt19937_64 rng(42);
    RadixScratch scratch;  // shared across sizes, shrinking and growing
    for (const std::size_t n : {1000u, 3u, 1u, 257u}) {
        std::uniform_int_distribution<int> pick(-20, 20);
        std::vector<double> keys(n);
        for (double& k : keys) k = pick(rng) * 0.25;
        EXPECT_EQ(argsort(keys, scratch), stable_order(keys)) << n << " keys";
    }
}

TEST(RadixSort, KeysSharingASlotAreOrderedByValue) {
    // Keys a few units in the last place apart share a slot: runs both short (insertion)
    // and long (sorted again on their own range), with ties and both signs.
    std::mt19937_64 rng(3);
    for (const std::size_t n : {20u, 1000u}) {
        std::uniform_int_distribution<int> step(0, 60);
        std::vector<double> keys(n);
        for (std::size_t i = 0; i < n; ++i)
            keys[i] = (i % 3 == 0 ? -1.0 : 1.0) * std::ldexp(1.0 + std::ldexp(step(rng), -44), 0);
        keys[n / 2] = -0.0;
        keys[n / 3] = 0.0;
        EXPECT_EQ(argsort(keys), stable_order(keys)) << n << " keys";
    }
}

TEST(RadixSort, RangesThatCrowdOrOverflowTheSlots) {
    // Slots come from the keys' own range: a far tail squeezes the bulk into a few slots,
    // sorted again on their own range (and, past a few levels, by comparison); a range too
    // wide for a double goes to a comparison sort.
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    std::vector<double> tail(5000);
    for (double& k : tail) k = normal(rng);
    tail[17] = 1e12;
    tail[4000] = -1e30;
    std::vector<double> nested(3000);  // each tail hides the next: 1e-20, 1e-10, 1, 1e10
    for (std::size_t i = 0; i < nested.size(); ++i)
        nested[i] = std::pow(1e10, static_cast<double>(i % 4) - 2.0) * (1.0 + normal(rng) * 1e-3);
    std::vector<double> wide(tail);
    wide[99] = std::numeric_limits<double>::max();
    wide[100] = std::numeric_limits<double>::lowest();
    for (const std::vector<double>* keys : {&tail, &nested, &wide}) EXPECT_EQ(argsort(*keys), stable_order(*keys));
}
