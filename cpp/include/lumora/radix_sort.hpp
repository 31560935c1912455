#pragma once
// Stable argsort of doubles by LSD radix passes over slots of the values' own range: linear
// time for the cross-sections the group engine ranks every day.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {

struct RadixScratch {
    struct Item {
        std::uint32_t slot;  // a coarse key that keeps the order: equal values share a slot
        std::uint32_t index;
    };
    std::vector<Item> a, b;
};

// Positions of `keys` in ascending order; equal keys (0.0 and -0.0 included) keep their
// input order. Keys must not be NaN.
void radix_argsort(const double* keys, std::size_t n, std::vector<std::uint32_t>& order, RadixScratch& scratch);

// The same order left in `scratch.a` (indices with their slots), for callers that walk the
// sorted keys.
void radix_sort_items(const double* keys, std::size_t n, RadixScratch& scratch);

}  // namespace lumora
