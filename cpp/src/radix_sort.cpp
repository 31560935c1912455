#include "lumora/radix_sort.hpp"

#include <array>
#include <bit>

namespace lumora {

namespace {

constexpr int kDigitBits = 11;
constexpr int kPasses = 6;  // 6 x 11 bits cover the 64-bit key
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;

// An unsigned key that orders like the double: negative values flipped whole, positive
// ones with the sign bit set.
std::uint64_t ordered_key(double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x + 0.0);  // -0.0 becomes 0.0
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

unsigned digit(std::uint64_t key, int pass) {
    return static_cast<unsigned>((key >> (pass * kDigitBits)) & (kBuckets - 1));
}

}  // namespace

void radix_argsort(const double* keys, std::size_t n, std::vector<std::uint32_t>& order, RadixScratch& s) {
    s.a.resize(n);
    s.b.resize(n);
    std::array<std::array<std::uint32_t, kBuckets>, kPasses> counts{};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = ordered_key(keys[i]);
        s.a[i] = {key, static_cast<std::uint32_t>(i)};
        for (int p = 0; p < kPasses; ++p) ++counts[static_cast<std::size_t>(p)][digit(key, p)];
    }
    for (int p = 0; p < kPasses; ++p) {
        auto& count = counts[static_cast<std::size_t>(p)];
        if (n == 0 || count[digit(s.a[0].key, p)] == n) continue;  // every key shares this digit
        std::uint32_t sum = 0;
        for (std::uint32_t& c : count) {
            const std::uint32_t here = c;
            c = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) s.b[count[digit(s.a[i].key, p)]++] = s.a[i];
        s.a.swap(s.b);
    }
    order.resize(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = s.a[i].index;
}

}  // namespace lumora
