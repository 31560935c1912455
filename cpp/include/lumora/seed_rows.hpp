#pragma once
// The rows of older daily bars a derivation of later days needs (the file source's "seed
// rows"): each stock's last row, last row before the recent dates, last one with a close,
// last traded one, last traded one with an adjustment factor and last one with an
// industry, and every row of the recent dates.

#include <cstdint>
#include <span>
#include <vector>

namespace lumora::seeds {

struct BarRows {
    std::span<const std::int32_t> code;  // non-negative; each stock's rows in date order
    std::span<const std::int32_t> date;  // YYYYMMDD
    std::span<const double> close;
    std::span<const double> volume;
    std::span<const std::uint8_t> suspended;  // empty: none marked
    std::span<const double> adj_factor;       // empty: no such column
    std::span<const double> industry;         // empty: no such column
};

// Positions of the seed rows in ascending order; rows dated on or after `recent_from` are
// the recent ones. A traded row has a volume above zero, a close and no suspension mark.
// std::invalid_argument when the columns differ in length or a code is negative.
std::vector<std::int64_t> seed_rows(const BarRows& rows, std::int32_t recent_from);

}  // namespace lumora::seeds
