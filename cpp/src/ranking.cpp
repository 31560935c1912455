#include "lumora/ranking.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "lumora/matrix_view.hpp"

namespace lumora {

namespace {

// The interleaved sums of cross_pearson: item i goes to lane i % 4, and the lanes are
// added in pairs at the end.
constexpr std::size_t kLanes = 4;
using Lanes = std::array<double, kLanes>;

double total(const Lanes& s) { return (s[0] + s[1]) + (s[2] + s[3]); }

// The same four lanes held as two pairs in vector registers (lanes 0 and 1, 2 and 3): each
// lane adds the same terms in the same order, two at a time.
using Pair = double __attribute__((vector_size(2 * sizeof(double))));
struct PairLanes {
    Pair low{}, high{};
    Lanes lanes() const { return {low[0], low[1], high[0], high[1]}; }
};

Pair pair_at(const double* p) {
    Pair out;
    std::memcpy(&out, p, sizeof(Pair));
    return out;
}

// Walks n values in ascending order: `same(a, b)` says whether the a-th and b-th are equal,
// `put(k, rank)` takes the k-th one's average rank (ties share the mean of their positions,
// a value without ties its own). Every value first takes its own position, in one pass
// with no branch, then the rare runs of ties are found and given their mean, each also
// handed to `run(start, end)` (positions start .. end - 1). True when any values tie.
template <class Same, class Put, class Run>
bool tie_averaged_ranks(std::size_t n, Same&& same, Put&& put, Run&& run) {
    // Positions as 32-bit integers, which convert to double two at a time.
    for (std::size_t k = 0; k < n; ++k) put(k, static_cast<double>(static_cast<std::int32_t>(k) + 1));
    bool tied = false;
    for (std::size_t k = 1; k < n; ++k) {
        if (!same(k, k - 1)) continue;
        tied = true;
        const std::size_t start = k - 1;
        std::size_t end = k + 1;
        while (end < n && same(end, start)) ++end;
        const double rank = (static_cast<double>(start + 1) + static_cast<double>(end)) / 2.0;
        for (std::size_t t = start; t < end; ++t) put(t, rank);
        run(start, end);
        k = end;  // the value at `end` differs from the run's
    }
    return tied;
}

template <class Same, class Put>
bool tie_averaged_ranks(std::size_t n, Same&& same, Put&& put) {
    return tie_averaged_ranks(n, same, put, [](std::size_t, std::size_t) {});
}

}  // namespace

bool average_ranks_ascending(const std::vector<double>& sorted, std::vector<double>& ranks) {
    ranks.resize(sorted.size());
    return tie_averaged_ranks(
        sorted.size(), [&](std::size_t a, std::size_t b) { return sorted[a] == sorted[b]; },
        [&](std::size_t k, double rank) { ranks[k] = rank; });
}

bool average_ranks_ascending(const std::vector<double>& sorted, std::vector<double>& ranks,
                             std::vector<std::uint32_t>& runs) {
    ranks.resize(sorted.size());
    runs.clear();
    return tie_averaged_ranks(
        sorted.size(), [&](std::size_t a, std::size_t b) { return sorted[a] == sorted[b]; },
        [&](std::size_t k, double rank) { ranks[k] = rank; },
        [&](std::size_t start, std::size_t end) {
            runs.push_back(static_cast<std::uint32_t>(start));
            runs.push_back(static_cast<std::uint32_t>(end));
        });
}

void distinct_ranks(std::size_t n, std::vector<double>& ranks) {
    ranks.resize(n);
    for (std::size_t k = 0; k < n; ++k) ranks[k] = static_cast<double>(static_cast<std::int32_t>(k) + 1);
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

double lane_sum(const double* v, std::size_t n) {
    PairLanes pair;
    const std::size_t whole = n - n % kLanes;
    for (std::size_t i = 0; i < whole; i += kLanes) {
        pair.low += pair_at(v + i);
        pair.high += pair_at(v + i + 2);
    }
    Lanes sum = pair.lanes();
    for (std::size_t i = whole; i < n; ++i) sum[i - whole] += v[i];
    return total(sum);
}

double cross_pearson(const double* a, const double* b, std::size_t n) {
    if (n < 2) return kNaN;
    PairLanes pair_a, pair_b;
    const std::size_t whole = n - n % kLanes;
    for (std::size_t i = 0; i < whole; i += kLanes) {
        pair_a.low += pair_at(a + i);
        pair_a.high += pair_at(a + i + 2);
        pair_b.low += pair_at(b + i);
        pair_b.high += pair_at(b + i + 2);
    }
    Lanes sum_a = pair_a.lanes(), sum_b = pair_b.lanes();
    for (std::size_t i = whole; i < n; ++i) {
        sum_a[i - whole] += a[i];
        sum_b[i - whole] += b[i];
    }
    const double count = static_cast<double>(n);
    return cross_pearson_about(a, b, n, total(sum_a) / count, total(sum_b) / count);
}

double cross_pearson_about(const double* a, const double* b, std::size_t n, double mean_a, double mean_b) {
    if (n < 2) return kNaN;
    PairLanes pair_ab, pair_aa, pair_bb;
    const Pair centre_a = {mean_a, mean_a}, centre_b = {mean_b, mean_b};
    const std::size_t whole = n - n % kLanes;
    for (std::size_t i = 0; i < whole; i += kLanes) {
        const Pair da_low = pair_at(a + i) - centre_a, db_low = pair_at(b + i) - centre_b;
        const Pair da_high = pair_at(a + i + 2) - centre_a, db_high = pair_at(b + i + 2) - centre_b;
        pair_ab.low += da_low * db_low;
        pair_aa.low += da_low * da_low;
        pair_bb.low += db_low * db_low;
        pair_ab.high += da_high * db_high;
        pair_aa.high += da_high * da_high;
        pair_bb.high += db_high * db_high;
    }
    Lanes sab = pair_ab.lanes(), saa = pair_aa.lanes(), sbb = pair_bb.lanes();
    for (std::size_t i = whole; i < n; ++i) {
        const double da = a[i] - mean_a, db = b[i] - mean_b;
        sab[i - whole] += da * db;
        saa[i - whole] += da * da;
        sbb[i - whole] += db * db;
    }
    const double aa = total(saa), bb = total(sbb);
    if (aa == 0.0 || bb == 0.0) return kNaN;
    const double r = total(sab) / std::sqrt(aa * bb);
    return std::isnan(r) ? r : std::clamp(r, -1.0, 1.0);
}

double pearson_of_ranks(const double* ranks_a, const double* ranks_b, std::size_t n) {
    const double mean = (static_cast<double>(n) + 1.0) / 2.0;
    return cross_pearson_about(ranks_a, ranks_b, n, mean, mean);
}

void counted_twice_ranks(const std::uint32_t* keys, std::size_t count, std::size_t buckets, std::uint32_t* twice,
                         std::vector<std::uint32_t>& ends) {
    // ends[key + 1] counts the keys equal to key, then (summed) those up to it.
    ends.assign(buckets + 1, 0);
    for (std::size_t k = 0; k < count; ++k) ++ends[keys[k] + 1];
    for (std::size_t b = 1; b <= buckets; ++b) ends[b] += ends[b - 1];
    for (std::size_t k = 0; k < count; ++k) twice[k] = ends[keys[k]] + 1 + ends[keys[k] + 1];
}

double TwiceRankSums::correlation() const {
    if (count < 2) return kNaN;
    // count x the sums of centred products and squares, held exactly.
    const auto n = static_cast<__int128>(count);
    const __int128 cov = n * ab - static_cast<__int128>(a) * b;
    const __int128 var_a = n * aa - static_cast<__int128>(a) * a;
    const __int128 var_b = n * bb - static_cast<__int128>(b) * b;
    if (var_a <= 0 || var_b <= 0) return kNaN;
    const double r = static_cast<double>(cov) / std::sqrt(static_cast<double>(var_a) * static_cast<double>(var_b));
    return std::clamp(r, -1.0, 1.0);
}

double spearman(const std::vector<double>& a, const std::vector<double>& b, SpearmanScratch& s) {
    if (a.size() < 2 || a.size() != b.size()) return kNaN;
    average_ranks(a.data(), a.size(), s.rank_a, s.radix);
    average_ranks(b.data(), b.size(), s.rank_b, s.radix);
    return pearson_of_ranks(s.rank_a.data(), s.rank_b.data(), a.size());
}

}  // namespace lumora
