#pragma once
// Cross-sectional ranks and the Spearman rank correlation.

#include <cstdint>
#include <utility>
#include <vector>

#include "lumora/radix_sort.hpp"

namespace lumora {

// Average ranks (1-based, ties share the mean of their positions) of values already in
// ascending order; true when any values tie. With `runs`: the runs of equal values there,
// each as its first position and one past its last.
bool average_ranks_ascending(const std::vector<double>& sorted, std::vector<double>& ranks);
bool average_ranks_ascending(const std::vector<double>& sorted, std::vector<double>& ranks,
                             std::vector<std::uint32_t>& runs);

// The average ranks of n distinct values in ascending order: 1, 2, ..., n.
void distinct_ranks(std::size_t n, std::vector<double>& ranks);

// Average ranks of `values` (no NaN), sorted here; ranks[k] belongs to values[k].
void average_ranks(const double* values, std::size_t n, std::vector<double>& ranks, RadixScratch& scratch);

// Pearson correlation of a cross-section with its sums taken in four interleaved lanes:
// pearson's single chain of additions waits on the adder at every step. The last bits may
// differ from pearson's, except where every sum is exact (see pearson_of_ranks).
double cross_pearson(const double* a, const double* b, std::size_t n);
// The sum of n values in cross_pearson's lanes and order: a mean found by it is the one
// cross_pearson finds, to the last bit.
double lane_sum(const double* v, std::size_t n);
double cross_pearson_about(const double* a, const double* b, std::size_t n, double mean_a, double mean_b);

// Pearson correlation of two sets of average ranks of the same n items. Ranks are whole or
// half numbers summing to n(n+1)/2 exactly, so both means are (n+1)/2 exactly, as pearson
// would find them, and every deviation, product and sum of products is a multiple of 1/4
// held exactly (for n up to 200,000): the result is pearson's to the last bit, in any
// order of summation.
double pearson_of_ranks(const double* ranks_a, const double* ranks_b, std::size_t n);

// Twice the average ranks of `count` whole-number keys below `buckets` (equal keys tie), by
// counting rather than sorting: a key's ties take the sorted positions start + 1 .. end,
// where start counts the keys below it and end adds its ties, so twice its average rank is
// start + 1 + end. `ends` is scratch.
void counted_twice_ranks(const std::uint32_t* keys, std::size_t count, std::size_t buckets, std::uint32_t* twice,
                         std::vector<std::uint32_t>& ends);

// Pearson correlation of pairs of twice-ranks (whole numbers) from exact integer sums: the
// same to the last bit in any order of summation, which lets a loop over stocks take them
// as they lie. NaN for fewer than two pairs or a constant side.
struct TwiceRankSums {
    std::uint64_t count = 0, a = 0, b = 0, ab = 0, aa = 0, bb = 0;

    void add(std::uint64_t x, std::uint64_t y) {
        ++count;
        a += x;
        b += y;
        ab += x * y;
        aa += x * x;
        bb += y * y;
    }
    double correlation() const;
};

// Spearman correlation of two equally long samples (average ranks, Pearson of the ranks);
// NaN for fewer than two pairs or a constant side. `scratch` avoids reallocation.
struct SpearmanScratch {
    std::vector<double> rank_a, rank_b;
    RadixScratch radix;
};
double spearman(const std::vector<double>& a, const std::vector<double>& b, SpearmanScratch& scratch);

}  // namespace lumora
