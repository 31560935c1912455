#pragma once
// Cell arithmetic of the prepared matrices: price validity, previous close, adjustment
// factors, tradability flags, membership masks and forward-return ranks.
//
// Tables arrive as views; where two tables meet, the binding layer has already chosen the
// labels of the result (the union pandas would align to) and passes each input as an
// AlignedMatrix over those labels. A cell whose row or column label an input lacks is
// "absent" there, which reads like a missing value except where a zero fill applies.
// Every output is written row-major, as the store keeps it: cell (r, c) of a rows x cols
// result at r * cols + c.

#include <cstdint>

#include "lumora/matrix_view.hpp"

namespace lumora::prepared {

// close * 0 + 1: 1.0 where the close is a finite number, NaN elsewhere.
void close_validity(const MatrixView& close, double* out);

// Rows moved down by one: row r holds row r - 1, the first row NaN (previous close).
void previous_row(const MatrixView& table, double* out);

// split / 10 * validity; the source quotes new shares per ten old ones.
void split_factor(const AlignedMatrix& split_source, const AlignedMatrix& validity, double* out);

// dividend / 10 * 0.9 + (validity - 1): cash per share after the 10% tax, NaN where the
// stock has no close. The source quotes cash per ten shares before tax.
void dividend_factor(const AlignedMatrix& dividend_source, const AlignedMatrix& validity, double* out);

// Which way a tradability flag reads a blocked cell (see tradability_flags).
enum class FlagSense : std::uint8_t {
    Blocked,  // true where the cell is blocked (selling blocked)
    Allowed,  // true where it is not (buying allowed)
};

// Tradability of every cell of the result labels. A cell is blocked where the execution
// price equals its limit price exactly, where the suspension source equals 1, or where the
// price is missing or not a finite positive number (a trading day without a price, a day
// the stock is not listed, a cell the price table lacks): no trade is booked at a price that
// does not exist. `limit` is looked up at the same labels as `price`.
void tradability_flags(const AlignedMatrix& price, const AlignedMatrix& limit, const AlignedMatrix& suspended,
                       FlagSense sense, bool* out);

// Index membership: 1.0 where the source holds a finite non-zero value, NaN elsewhere.
void membership_mask(const MatrixView& source, double* out);

// Whether any cell of `source` is a member (finite and non-zero), the cells membership_mask
// marks 1.0; without one its mask is NaN in every cell. Stops at the first member.
bool any_member(const MatrixView& source);

// For date t, the rank across stocks of open[t + 2] / open[t + 1] - 1 (infinite ratios
// count as missing): 1-based, ties share their average rank, missing values stay NaN. The
// last two dates have no such return and are NaN.
void forward_open_rank(const MatrixView& open, double* out);

}  // namespace lumora::prepared
