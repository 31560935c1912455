#include "lumora/adjusted_close.hpp"

#include <cmath>

namespace lumora {

std::vector<double> adjusted_close(const MatrixView& close, const AlignedMatrix& split, const AlignedMatrix& dividend) {
    const std::int64_t rows = close.rows, cols = close.cols;
    std::vector<double> out(static_cast<std::size_t>(rows * cols), kNaN);
    for (std::int64_t j = 0; j < cols; ++j) {
        double* column = &out[static_cast<std::size_t>(j * rows)];
        double last_close = kNaN, level = kNaN;
        for (std::int64_t i = 0; i < rows; ++i) {
            const double c = close.value(i, j);
            if (!std::isfinite(c)) continue;
            if (std::isnan(level) || !(last_close > 0.0)) {
                level = c;  // the first close (or one after a non-positive base) starts the series
            } else {
                const double s = split.value(i, j), d = dividend.value(i, j);
                const double growth = ((std::isnan(s) ? 1.0 : s) * c + (std::isnan(d) ? 0.0 : d)) / last_close;
                level *= growth;
            }
            column[i] = level;
            last_close = c;
        }
    }
    return out;
}

}  // namespace lumora
