#include "lumora/radix_sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

namespace lumora {

namespace {

using Item = RadixScratch::Item;

constexpr int kDigitBits = 11;
constexpr int kPasses = 2;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr double kSlots = static_cast<double>(std::uint64_t{1} << (kDigitBits * kPasses));
constexpr std::size_t kShortRun = 32;
constexpr int kMostDepth = 3;  // runs still crowded this deep are left to a comparison sort

// An unsigned key that orders like the double: negative values flipped whole, positive
// ones with the sign bit set.
std::uint64_t ordered_key(double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x + 0.0);  // -0.0 becomes 0.0
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Orders by value, ties by position: the order every path of the sort gives.
struct ByValue {
    const double* keys;
    bool operator()(const Item& x, const Item& y) const {
        const std::uint64_t kx = ordered_key(keys[x.index]), ky = ordered_key(keys[y.index]);
        return kx < ky || (kx == ky && x.index < y.index);
    }
};

void insertion_sort(Item* run, std::size_t size, ByValue before) {
    for (std::size_t i = 1; i < size; ++i) {
        const Item item = run[i];
        std::size_t k = i;
        for (; k > 0 && before(item, run[k - 1]); --k) run[k] = run[k - 1];
        run[k] = item;
    }
}

using Counts = std::array<std::array<std::uint32_t, kBuckets>, kPasses>;

// A value's slot in a range from `lo` at `scale` slots a unit: in [0, kSlots), kept in order
// by rounding.
std::uint32_t slot_of(double x, double lo, double scale) {
    return static_cast<std::uint32_t>(std::min((x - lo) * scale, kSlots - 1.0));
}

void sort_by_slots(const double* keys, Item* items, Item* spare, std::size_t n, int depth);

// The passes of sort_by_slots once every item's slot is set and counted by digit: two
// stable passes by slot, then the items sharing a slot ordered by value.
void sort_slotted(const double* keys, Item* items, Item* spare, std::size_t n, int depth, Counts& counts);

// Sorts items (in position order) by their keys' values. Each value gets a slot from its
// place in the items' own range, (x - lo) * scale, which keeps the order and spreads a
// cross-section evenly over 2^22 slots; two stable passes of 11 bits sort by slot, and
// items sharing a slot are then ordered by value, those of a crowded slot (a long tail
// squeezing the rest together) by the same sort on their own narrower range. Where the
// range is not finite the items go to a comparison sort.
void sort_by_slots(const double* keys, Item* items, Item* spare, std::size_t n, int depth) {
    const ByValue before{keys};
    if (n <= kShortRun) {
        insertion_sort(items, n, before);
        return;
    }
    double lo = keys[items[0].index], hi = lo;
    for (std::size_t i = 1; i < n; ++i) {
        const double x = keys[items[i].index];
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    const double span = hi - lo, scale = kSlots / span;
    if (span == 0.0) return;  // all equal: position order is the order
    if (depth >= kMostDepth || !std::isfinite(span) || !std::isfinite(scale)) {
        std::sort(items, items + n, before);
        return;
    }
    Counts counts{};
    for (std::size_t i = 0; i < n; ++i) {
        const auto slot = slot_of(keys[items[i].index], lo, scale);
        items[i].slot = slot;
        ++counts[0][slot & (kBuckets - 1)];
        ++counts[1][slot >> kDigitBits];
    }
    sort_slotted(keys, items, spare, n, depth, counts);
}

void sort_slotted(const double* keys, Item* items, Item* spare, std::size_t n, int depth, Counts& counts) {
    Item* from = items;
    Item* to = spare;
    for (int p = 0; p < kPasses; ++p) {
        auto& count = counts[static_cast<std::size_t>(p)];
        const int shift = p * kDigitBits;
        if (count[(from[0].slot >> shift) & (kBuckets - 1)] == n) continue;  // every item shares this digit
        std::uint32_t sum = 0;
        for (std::uint32_t& c : count) {
            const std::uint32_t here = c;
            c = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) to[count[(from[i].slot >> shift) & (kBuckets - 1)]++] = from[i];
        std::swap(from, to);
    }
    if (from != items) std::copy(from, from + n, items);
    for (std::size_t start = 0; start < n;) {
        std::size_t end = start + 1;
        while (end < n && items[end].slot == items[start].slot) ++end;
        if (end - start > 1) sort_by_slots(keys, items + start, spare + start, end - start, depth + 1);
        start = end;
    }
}

}  // namespace

void radix_sort_items(const double* keys, std::size_t n, RadixScratch& s) {
    s.a.resize(n);
    s.b.resize(n);
    // The first level of sort_by_slots, whose items are the positions in order: the keys are
    // read where they lie and each item written once, with its slot.
    double lo = n > 0 ? keys[0] : 0.0, hi = lo;
    for (std::size_t i = 1; i < n; ++i) {
        const double x = keys[i];
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    const double span = hi - lo, scale = kSlots / span;
    if (n <= kShortRun || span == 0.0 || !std::isfinite(span) || !std::isfinite(scale)) {
        for (std::size_t i = 0; i < n; ++i) s.a[i] = {0, static_cast<std::uint32_t>(i)};
        sort_by_slots(keys, s.a.data(), s.b.data(), n, 0);
        return;
    }
    Counts counts{};
    for (std::size_t i = 0; i < n; ++i) {
        const auto slot = slot_of(keys[i], lo, scale);
        s.a[i] = {slot, static_cast<std::uint32_t>(i)};
        ++counts[0][slot & (kBuckets - 1)];
        ++counts[1][slot >> kDigitBits];
    }
    sort_slotted(keys, s.a.data(), s.b.data(), n, 0, counts);
}

void radix_argsort(const double* keys, std::size_t n, std::vector<std::uint32_t>& order, RadixScratch& s) {
    radix_sort_items(keys, n, s);
    order.resize(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = s.a[i].index;
}

}  // namespace lumora
