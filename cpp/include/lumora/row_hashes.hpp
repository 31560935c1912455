#pragma once
// Content hashes of table rows summed by date: what the file source records of each date of
// a bars file, so that an update finds the dates whose rows changed since a store was built.
//
// A value's hash is the one pandas.util.hash_array gives it (the 64-bit mixer below, floats
// by their bits with every NaN one NaN and -0.0 zero, bools and integers widened to 64
// bits): the numbers match those recorded by stores written before this code existed.

#include <cstdint>
#include <span>
#include <vector>

namespace lumora::hashing {

// The mixer of pandas.util.hash_array over a value's bits widened to 64.
inline std::uint64_t mix(std::uint64_t v) {
    v ^= v >> 30;
    v *= 0xBF58476D1CE4E5B9ULL;
    v ^= v >> 27;
    v *= 0x94D049BB133111EBULL;
    v ^= v >> 31;
    return v;
}

enum class ColumnKind : std::uint8_t {
    Float64,
    Int64,
    Int32,
    Bool,
    Hashed,  // each row's hash already computed (uint64), taken as it is
};

struct HashColumn {
    ColumnKind kind;
    const void* data;  // one value per row
};

// Per day (0 .. sums.size() - 1), the sum of its rows' unit numbers: each row's hash is
// hash(columns[0]), then for each further column hash = hash * 0x100000001B3 + hash(column)
// (wrapping), and its unit number is the top 53 bits of that hash as a fraction of one.
// Rows are added in their order (so the sums are those of numpy.bincount). `day`: each
// row's day; every one must be within `sums` (std::invalid_argument otherwise). `sums` is
// filled, not added to.
void day_hash_sums(std::span<const HashColumn> columns, std::span<const std::int64_t> day, std::size_t rows,
                   std::span<double> sums);

}  // namespace lumora::hashing
