#pragma once
// Stable argsort of doubles by LSD radix passes: linear time for the cross-sections the
// group engine ranks every day.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {

struct RadixScratch {
    struct Item {
        std::uint64_t key;
        std::uint32_t index;
    };
    std::vector<Item> a, b;
};

// Positions of `keys` in ascending order; equal keys (0.0 and -0.0 included) keep their
// input order. Keys must not be NaN.
void radix_argsort(const double* keys, std::size_t n, std::vector<std::uint32_t>& order, RadixScratch& scratch);

}  // namespace lumora
