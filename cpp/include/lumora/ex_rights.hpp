#pragma once
// Ex-rights days told by what a vendor's daily bars state: the exchange's ex-rights
// previous close (a vendor's `pre_close`) against the last close, and closes that leave the
// limit band of the raw previous close (an ex-rights day the files do not record).

#include <cstdint>
#include <vector>

#include "lumora/matrix_view.hpp"

namespace lumora::ex_rights {

// The adjustment of each cell of a date x stock block: previous close / pre-close where
// both are finite prices and differ by at least a cent once rounded half up to the cent
// (a holder's shares times it are worth what they were: splits and dividends alike), NaN
// elsewhere. Writes a row-major rows x cols table into `out`.
void factors_from_pre_close(const MatrixView& previous_close, const MatrixView& pre_close, double* out);

struct Cell {
    std::int64_t row;
    std::int64_t col;
};

// The cells whose close, rounded half up to the cent, lies above the limit-up or below the
// limit-down price (in cents as well); cells without a close or a limit are skipped. In row
// order, then column order.
std::vector<Cell> outside_limit_band(const MatrixView& close, const MatrixView& limit_up, const MatrixView& limit_down);

}  // namespace lumora::ex_rights
