#include "lumora/ex_rights.hpp"

#include <cmath>
#include <optional>

#include "lumora/limit_prices.hpp"

namespace lumora::ex_rights {

namespace {

// Prices beyond this many yuan are not prices (and would overflow the cents below).
constexpr double kLargestYuan = 1e9;

// A price in whole cents, rounded half up; nullopt for anything that is not a positive price.
std::optional<std::int64_t> cents(double yuan) {
    if (!std::isfinite(yuan) || !(yuan > 0.0) || yuan >= kLargestYuan) return std::nullopt;
    // Millionths of a yuan first, as the limit prices are worked out (10.045 is 1004.5 cents).
    const std::int64_t rounded = limits::divide_half_up(limits::micro_yuan(yuan), 10'000);
    if (rounded <= 0) return std::nullopt;
    return rounded;
}

}  // namespace

void factors_from_pre_close(const MatrixView& previous_close, const MatrixView& pre_close, double* out) {
    for (std::int64_t r = 0; r < previous_close.rows; ++r) {
        double* row = out + r * previous_close.cols;
        for (std::int64_t c = 0; c < previous_close.cols; ++c) {
            const double last = previous_close.value(r, c), reference = pre_close.value(r, c);
            const std::optional<std::int64_t> last_cents = cents(last), reference_cents = cents(reference);
            const bool changed = last_cents && reference_cents && *last_cents != *reference_cents;
            row[c] = changed ? last / reference : kNaN;
        }
    }
}

std::vector<Cell> outside_limit_band(const MatrixView& close, const MatrixView& limit_up,
                                     const MatrixView& limit_down) {
    std::vector<Cell> found;
    for (std::int64_t r = 0; r < close.rows; ++r) {
        for (std::int64_t c = 0; c < close.cols; ++c) {
            const std::optional<std::int64_t> price = cents(close.value(r, c));
            if (!price) continue;
            const std::optional<std::int64_t> up = cents(limit_up.value(r, c)), down = cents(limit_down.value(r, c));
            if ((up && *price > *up) || (down && *price < *down)) found.push_back({r, c});
        }
    }
    return found;
}

}  // namespace lumora::ex_rights
