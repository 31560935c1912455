#include "lumora/universe_mask.hpp"

#include <cmath>

namespace lumora {

namespace {

// The summed membership of one cell; NaN when no table has a value there.
double membership_sum(const std::vector<AlignedMatrix>& memberships, std::int64_t r, std::int64_t c) {
    double sum = kNaN;
    for (const AlignedMatrix& m : memberships) {
        const double v = m.value(r, c);
        if (std::isnan(v)) continue;
        sum = std::isnan(sum) ? v : sum + v;
    }
    return sum;
}

}  // namespace

void restrict_validity_to_universe(const MatrixView& validity, const std::vector<AlignedMatrix>& memberships,
                                   double* out) {
    for (std::int64_t c = 0; c < validity.cols; ++c) {
        double* column = out + c * validity.rows;
        for (std::int64_t r = 0; r < validity.rows; ++r) {
            const double sum = membership_sum(memberships, r, c);
            // An infinite sum is no membership: the mask is built as sum * 0 + 1.
            column[r] = (sum > 0.0 && std::isfinite(sum)) ? validity.value(r, c) : kNaN;
        }
    }
}

}  // namespace lumora
