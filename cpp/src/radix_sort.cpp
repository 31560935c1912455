#include "lumora/radix_sort.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace lumora {

namespace {

constexpr int kDigitBits = 11;
constexpr int kPasses = 3;  // 3 x 11 bits cover the high half of the key
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr std::size_t kShortRun = 32;

// An unsigned key that orders like the double: negative values flipped whole, positive
// ones with the sign bit set.
std::uint64_t ordered_key(double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x + 0.0);  // -0.0 becomes 0.0
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

unsigned digit(std::uint32_t high, int pass) {
    return static_cast<unsigned>((high >> (pass * kDigitBits)) & (kBuckets - 1));
}

// Puts a run of items sharing their high half, in position order, into the order of their
// whole keys, ties by position.
void order_run(const double* keys, RadixScratch::Item* run, std::size_t size) {
    auto whole = [&](const RadixScratch::Item& item) { return ordered_key(keys[item.index]); };
    if (size > kShortRun) {
        std::sort(run, run + size, [&](const RadixScratch::Item& x, const RadixScratch::Item& y) {
            const std::uint64_t kx = whole(x), ky = whole(y);
            return kx < ky || (kx == ky && x.index < y.index);
        });
        return;
    }
    for (std::size_t i = 1; i < size; ++i) {  // insertion sort: stable, and the input is in position order
        const RadixScratch::Item item = run[i];
        const std::uint64_t key = whole(item);
        std::size_t k = i;
        for (; k > 0 && whole(run[k - 1]) > key; --k) run[k] = run[k - 1];
        run[k] = item;
    }
}

}  // namespace

// The items are sorted by the high 32 bits of their keys alone, which take three passes of
// eight-byte items instead of six of sixteen; items whose high halves agree, rare outside
// exact ties, are then put in order by their whole keys.
void radix_sort_items(const double* keys, std::size_t n, RadixScratch& s) {
    s.a.resize(n);
    s.b.resize(n);
    std::array<std::array<std::uint32_t, kBuckets>, kPasses> counts{};
    for (std::size_t i = 0; i < n; ++i) {
        const auto high = static_cast<std::uint32_t>(ordered_key(keys[i]) >> 32);
        s.a[i] = {high, static_cast<std::uint32_t>(i)};
        for (int p = 0; p < kPasses; ++p) ++counts[static_cast<std::size_t>(p)][digit(high, p)];
    }
    for (int p = 0; p < kPasses; ++p) {
        auto& count = counts[static_cast<std::size_t>(p)];
        if (n == 0 || count[digit(s.a[0].high, p)] == n) continue;  // every key shares this digit
        std::uint32_t sum = 0;
        for (std::uint32_t& c : count) {
            const std::uint32_t here = c;
            c = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) s.b[count[digit(s.a[i].high, p)]++] = s.a[i];
        s.a.swap(s.b);
    }
    for (std::size_t start = 0; start < n;) {
        std::size_t end = start + 1;
        while (end < n && s.a[end].high == s.a[start].high) ++end;
        if (end - start > 1) order_run(keys, &s.a[start], end - start);
        start = end;
    }
}

void radix_argsort(const double* keys, std::size_t n, std::vector<std::uint32_t>& order, RadixScratch& s) {
    radix_sort_items(keys, n, s);
    order.resize(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = s.a[i].index;
}

}  // namespace lumora
