#include "lumora/row_hashes.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

namespace lumora::hashing {

namespace {

// The bits of a double as pandas hashes them: one NaN, and -0.0 as 0.0.
std::uint64_t double_bits(double v) {
    if (std::isnan(v)) return 0x7FF8000000000000ULL;
    const auto bits = std::bit_cast<std::uint64_t>(v);
    return bits == 0x8000000000000000ULL ? 0 : bits;
}

// A block of rows at a time, so that every column's values and the rows' hashes stay in
// the cache between the columns.
constexpr std::size_t kBlock = 4096;

// hash[i] = hash[i] * multiplier + value hash of row (start + i), over rows [start, stop):
// the column's kind is looked at once a block.
template <class Hash>
void fold(std::uint64_t multiplier, std::size_t start, std::size_t stop, std::uint64_t* hash, Hash value) {
    for (std::size_t i = start; i < stop; ++i) hash[i - start] = hash[i - start] * multiplier + value(i);
}

void fold_column(const HashColumn& column, std::uint64_t multiplier, std::size_t start, std::size_t stop,
                 std::uint64_t* hash) {
    switch (column.kind) {
        case ColumnKind::Float64: {
            const auto* v = static_cast<const double*>(column.data);
            return fold(multiplier, start, stop, hash, [v](std::size_t i) { return mix(double_bits(v[i])); });
        }
        case ColumnKind::Int64: {
            const auto* v = static_cast<const std::int64_t*>(column.data);
            return fold(multiplier, start, stop, hash,
                        [v](std::size_t i) { return mix(static_cast<std::uint64_t>(v[i])); });
        }
        case ColumnKind::Int32: {
            const auto* v = static_cast<const std::int32_t*>(column.data);
            return fold(multiplier, start, stop, hash,
                        [v](std::size_t i) { return mix(static_cast<std::uint32_t>(v[i])); });
        }
        case ColumnKind::Bool: {
            const auto* v = static_cast<const std::uint8_t*>(column.data);
            return fold(multiplier, start, stop, hash, [v](std::size_t i) { return mix(v[i] != 0 ? 1 : 0); });
        }
        case ColumnKind::Hashed: {
            const auto* v = static_cast<const std::uint64_t*>(column.data);
            return fold(multiplier, start, stop, hash, [v](std::size_t i) { return v[i]; });
        }
    }
}

}  // namespace

void day_hash_sums(std::span<const HashColumn> columns, std::span<const std::int64_t> day, std::size_t rows,
                   std::span<double> sums) {
    if (columns.empty()) throw std::invalid_argument("row hashes need at least one column");
    if (day.size() != rows) throw std::invalid_argument("one day per row is needed");
    const auto days = static_cast<std::int64_t>(sums.size());
    for (const std::int64_t d : day)
        if (d < 0 || d >= days) throw std::invalid_argument("a row's day is outside the days summed");
    std::fill(sums.begin(), sums.end(), 0.0);
    std::vector<std::uint64_t> hash(std::min(rows, kBlock));
    for (std::size_t start = 0; start < rows; start += kBlock) {
        const std::size_t stop = std::min(rows, start + kBlock);
        // The first column's hash is the row's start: 0 * multiplier + its hash.
        std::fill(hash.begin(), hash.end(), 0);
        for (std::size_t c = 0; c < columns.size(); ++c)
            fold_column(columns[c], c == 0 ? 0 : 0x100000001B3ULL, start, stop, hash.data());
        for (std::size_t i = start; i < stop; ++i)
            sums[static_cast<std::size_t>(day[i])] += static_cast<double>(hash[i - start] >> 11) * 0x1.0p-53;
    }
}

}  // namespace lumora::hashing
