#include "lumora/market_fills.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "lumora/matrix_view.hpp"

namespace lumora::market_fills {

namespace {

bool usable_price(double v) { return std::isfinite(v) && v > 0.0; }

}  // namespace

void carry_closes(double* close, const std::uint8_t* traded, const std::uint8_t* listed, std::int64_t rows,
                  std::int64_t cols) {
    const auto n = static_cast<std::size_t>(cols);
    std::vector<double> last_traded(n, kNaN), last_own(n, kNaN);
    for (std::int64_t r = 0; r < rows; ++r) {
        double* row = close + r * cols;
        const std::uint8_t* day_traded = traded + r * cols;
        const std::uint8_t* day_listed = listed + r * cols;
        for (std::size_t c = 0; c < n; ++c) {
            const double v = row[c];
            if (!std::isnan(v)) last_own[c] = v;
            if (day_traded[c]) last_traded[c] = v;  // a traded day has a close
            const double carried = std::isnan(last_traded[c]) ? last_own[c] : last_traded[c];
            row[c] = day_listed[c] ? carried : kNaN;
        }
    }
}

void fill_execution_prices(double* price, const double* fallback, const std::uint8_t* traded, std::int64_t cells) {
    for (std::int64_t k = 0; k < cells; ++k) {
        double v = price[k];
        if (!usable_price(v)) v = fallback[k];
        price[k] = traded[k] && usable_price(v) ? v : kNaN;
    }
}

void lock_at_limit(double* price, const double* limit, const std::uint8_t* traded, const double* extreme, bool limit_up,
                   double tolerance, double signed_tolerance, std::int64_t cells) {
    for (std::int64_t k = 0; k < cells; ++k) {
        const double bound = limit[k];
        bool at_limit = std::fabs(price[k] - bound) <= tolerance;
        if (extreme != nullptr && traded[k]) {
            const double reached = bound - signed_tolerance;
            at_limit = at_limit || (limit_up ? extreme[k] >= reached : extreme[k] <= reached);
        }
        if (at_limit) price[k] = bound;
    }
}

void factor_ratios(double* factor, std::int64_t rows, std::int64_t cols) {
    if (rows <= 0) return;
    const auto n = static_cast<std::size_t>(cols);
    std::vector<double> previous(factor, factor + n);  // the first row carries itself
    for (std::size_t c = 0; c < n; ++c) factor[c] = kNaN;
    for (std::int64_t r = 1; r < rows; ++r) {
        double* row = factor + r * cols;
        for (std::size_t c = 0; c < n; ++c) {
            const double carried = std::isnan(row[c]) ? previous[c] : row[c];
            row[c] = carried / previous[c];
            previous[c] = carried;
        }
    }
}

void keep_changes(double* ratio, const std::uint8_t* listed, std::int64_t cells) {
    for (std::int64_t k = 0; k < cells; ++k)
        if (!(listed[k] && usable_price(ratio[k]) && ratio[k] != 1.0)) ratio[k] = kNaN;
}

}  // namespace lumora::market_fills
