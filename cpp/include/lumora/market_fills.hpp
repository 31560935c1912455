#pragma once
// Row-major date x stock passes of the file source's market derivation, each reading its
// inputs once and writing its table in place: closes carried over untraded days, execution
// prices with their fallback, prices locked at a limit, and an adjustment factor's ratios.

#include <cstdint>

namespace lumora::market_fills {

// Each day's close where the stock traded, else the last traded close before it; before a
// stock's first traded day its last own close (NaN before any); NaN where not `listed`.
// The carry reads the closes as given (a cell outside the listing still carries).
void carry_closes(double* close, const std::uint8_t* traded, const std::uint8_t* listed, std::int64_t rows,
                  std::int64_t cols);

// A price that is not a finite positive number takes the fallback's; then NaN where the day
// is not traded or the price is still not a finite positive number.
void fill_execution_prices(double* price, const double* fallback, const std::uint8_t* traded, std::int64_t cells);

// The price becomes the limit where it lies within `tolerance` of it, or where the day was
// traded and its extreme (the low for a limit-up, the high for a limit-down; null: none
// given) reached the limit less `signed_tolerance` (>= for a limit-up, <= for a limit-down).
void lock_at_limit(double* price, const double* limit, const std::uint8_t* traded, const double* extreme, bool limit_up,
                   double tolerance, double signed_tolerance, std::int64_t cells);

// Each cell's factor carried down over NaN cells (still NaN before any), then divided by the
// carried factor of the day before; NaN on the first row.
void factor_ratios(double* factor, std::int64_t rows, std::int64_t cols);

// An adjustment kept only where it changes something: NaN where not `listed` or the ratio is
// not a finite positive number other than one.
void keep_changes(double* ratio, const std::uint8_t* listed, std::int64_t cells);

}  // namespace lumora::market_fills
