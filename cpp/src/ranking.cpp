#include "lumora/ranking.hpp"

#include <algorithm>
#include <cmath>

#include "lumora/matrix_view.hpp"

namespace lumora {

namespace {

constexpr std::size_t kLanes = 4;  // the interleaved sums of cross_pearson

// Walks n values in ascending order: `same(a, b)` says whether the a-th and b-th are equal,
// `put(k, rank)` takes the k-th one's average rank (ties share the mean of their positions,
// a value without ties its own). Every value first takes its own position, in one pass
// with no branch, then the rare runs of ties are found and given their mean. True when
// any values tie.
template <class Same, class Put>
bool tie_averaged_ranks(std::size_t n, Same&& same, Put&& put) {
    for (std::size_t k = 0; k < n; ++k) put(k, static_cast<double>(k + 1));
    bool tied = false;
    for (std::size_t k = 1; k < n; ++k) {
        if (!same(k, k - 1)) continue;
        tied = true;
        const std::size_t start = k - 1;
        std::size_t end = k + 1;
        while (end < n && same(end, start)) ++end;
        const double rank = (static_cast<double>(start + 1) + static_cast<double>(end)) / 2.0;
        for (std::size_t t = start; t < end; ++t) put(t, rank);
        k = end;  // the value at `end` differs from the run's
    }
    return tied;
}

}  // namespace

bool average_ranks_ascending(const std::vector<double>& sorted, std::vector<double>& ranks) {
    ranks.resize(sorted.size());
    return tie_averaged_ranks(
        sorted.size(), [&](std::size_t a, std::size_t b) { return sorted[a] == sorted[b]; },
        [&](std::size_t k, double rank) { ranks[k] = rank; });
}

void distinct_ranks(std::size_t n, std::vector<double>& ranks) {
    ranks.resize(n);
    for (std::size_t k = 0; k < n; ++k) ranks[k] = static_cast<double>(k + 1);
}

void average_ranks(const double* values, std::size_t n, std::vector<double>& ranks, RadixScratch& scratch) {
    radix_sort_items(values, n, scratch);
    const RadixScratch::Item* item = scratch.a.data();
    ranks.resize(n);
    // Keys in different slots differ, so only items sharing one read the values.
    tie_averaged_ranks(
        n,
        [&](std::size_t a, std::size_t b) {
            return item[a].slot == item[b].slot && values[item[a].index] == values[item[b].index];
        },
        [&](std::size_t k, double rank) { ranks[item[k].index] = rank; });
}

double cross_pearson(const double* a, const double* b, std::size_t n) {
    if (n < 2) return kNaN;
    double sum_a[kLanes] = {}, sum_b[kLanes] = {};
    const std::size_t whole = n - n % kLanes;
    for (std::size_t i = 0; i < whole; i += kLanes)
        for (std::size_t l = 0; l < kLanes; ++l) {
            sum_a[l] += a[i + l];
            sum_b[l] += b[i + l];
        }
    for (std::size_t i = whole; i < n; ++i) {
        sum_a[i - whole] += a[i];
        sum_b[i - whole] += b[i];
    }
    const double count = static_cast<double>(n);
    return cross_pearson_about(a, b, n, ((sum_a[0] + sum_a[1]) + (sum_a[2] + sum_a[3])) / count,
                               ((sum_b[0] + sum_b[1]) + (sum_b[2] + sum_b[3])) / count);
}

double cross_pearson_about(const double* a, const double* b, std::size_t n, double mean_a, double mean_b) {
    if (n < 2) return kNaN;
    double sab[kLanes] = {}, saa[kLanes] = {}, sbb[kLanes] = {};
    auto add = [&](std::size_t l, std::size_t i) {
        const double da = a[i] - mean_a, db = b[i] - mean_b;
        sab[l] += da * db;
        saa[l] += da * da;
        sbb[l] += db * db;
    };
    const std::size_t whole = n - n % kLanes;
    for (std::size_t i = 0; i < whole; i += kLanes)
        for (std::size_t l = 0; l < kLanes; ++l) add(l, i + l);
    for (std::size_t i = whole; i < n; ++i) add(i - whole, i);
    const double ab = (sab[0] + sab[1]) + (sab[2] + sab[3]);
    const double aa = (saa[0] + saa[1]) + (saa[2] + saa[3]);
    const double bb = (sbb[0] + sbb[1]) + (sbb[2] + sbb[3]);
    if (aa == 0.0 || bb == 0.0) return kNaN;
    const double r = ab / std::sqrt(aa * bb);
    return std::isnan(r) ? r : std::clamp(r, -1.0, 1.0);
}

double pearson_of_ranks(const double* ranks_a, const double* ranks_b, std::size_t n) {
    const double mean = (static_cast<double>(n) + 1.0) / 2.0;
    return cross_pearson_about(ranks_a, ranks_b, n, mean, mean);
}

double spearman(const std::vector<double>& a, const std::vector<double>& b, SpearmanScratch& s) {
    if (a.size() < 2 || a.size() != b.size()) return kNaN;
    average_ranks(a.data(), a.size(), s.rank_a, s.radix);
    average_ranks(b.data(), b.size(), s.rank_b, s.radix);
    return pearson_of_ranks(s.rank_a.data(), s.rank_b.data(), a.size());
}

}  // namespace lumora
