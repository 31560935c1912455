#pragma once
// Back-adjusted (total-return) close: each stock's first close kept as it is, every later
// close scaled so that the change from one close to the next is the holder's whole return
// of that day, split shares and cash dividend included.

#include <cstdint>
#include <vector>

#include "lumora/matrix_view.hpp"

namespace lumora {

// `close` is read whole; `split` and `dividend` are aligned to it (missing split = 1,
// missing dividend = 0, as the engine reads them). A day's growth factor is
// (split * close + dividend) / previous close, the previous close being the stock's last
// known close, so a suspension carries the level across. Missing closes stay missing.
// Returns a column-major rows x cols buffer.
std::vector<double> adjusted_close(const MatrixView& close, const AlignedMatrix& split, const AlignedMatrix& dividend);

}  // namespace lumora
