#include "lumora/sharpe.hpp"

#include <algorithm>
#include <cmath>

#include "lumora/matrix_view.hpp"

namespace lumora {

double safe_sharpe(const double* returns, std::size_t n, double periods) {
    if (n < 2) return kNaN;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += returns[i];
    const double mean = sum / static_cast<double>(n);
    double squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = returns[i] - mean;
        squares += d * d;
    }
    const double sd = std::sqrt(squares / static_cast<double>(n - 1));
    if (!std::isfinite(mean) || !std::isfinite(sd)) return kNaN;
    // Rounding leaves a tiny spread on a constant series; that is no risk to divide by.
    if (!(sd > 1e-12 * std::max(1.0, std::abs(mean)))) return kNaN;
    return mean / sd * std::sqrt(periods);
}

}  // namespace lumora
