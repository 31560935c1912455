#pragma once
// Restricting price validity to a stock universe: the union of several index-membership
// tables, all seen through the rows and columns of the validity table.

#include <cstdint>
#include <vector>

#include "lumora/matrix_view.hpp"

namespace lumora {

// Validity restricted to the universe, written column-major into `out`
// (validity.rows * validity.cols cells, cell (r, c) at c * rows + r).
//
// Memberships are summed cell by cell the way a label-aligned addition with a zero fill
// does it: a cell missing (NaN) in every table stays missing, otherwise the missing
// tables count as 0. Where the sum is positive the stock is in the universe and keeps its
// validity value (flags read as 1.0 / 0.0); everywhere else the result is NaN.
void restrict_validity_to_universe(const MatrixView& validity, const std::vector<AlignedMatrix>& memberships,
                                   double* out);

}  // namespace lumora
