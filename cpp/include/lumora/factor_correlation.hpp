#pragma once
// How alike the factors of a screen are: the mean over dates of the cross-sectional rank
// correlation of their values, and the correlation of series such as their daily long-short
// returns; and the p-values of many tests at once, adjusted for their number.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lumora/matrix_view.hpp"

namespace lumora {

// The factors of a screen on one grid of dates x stocks: factor f's values are values[f],
// and the stocks it ranks on a date are those where its value is finite and its validity
// table, validity[validity_of[f]], holds a finite number above 0 (a valid close, as the
// group backtest ranks). Factors often share one validity table, which is then read once.
struct ScreenFactors {
    std::span<const AlignedMatrix> values;
    std::span<const AlignedMatrix> validity;
    std::span<const std::size_t> validity_of;
};

// For every pair of factors, the mean over dates of the Pearson correlation of their average
// ranks (ties share the mean of their positions; each factor ranked over its own stocks of
// the date), taken on the stocks both rank that date: a date counts for a pair where two or
// more stocks are shared and neither side is constant on them. F x F, row-major, symmetric;
// NaN for a pair without such a date. The diagonal is 1 where the factor ranks two or more
// distinct values on some date, else NaN. The result does not depend on the number of
// worker threads: ranks are whole or half numbers, so every sum of products is exact (for
// up to about 12,000 stocks), and dates are added in a fixed order.
std::vector<double> mean_rank_correlation(const ScreenFactors& factors);

// The Pearson correlation of every pair of columns of `series` (rows are dates), each pair
// over the rows where both are finite: F x F, row-major, symmetric; NaN where fewer than two
// rows are shared or a side is constant on them. The diagonal is 1 where defined.
std::vector<double> pairwise_pearson(const MatrixView& series);

// p-values of m tests adjusted for their number (m = the finite entries; NaN entries stay
// NaN and do not count), each capped at 1:
//   Benjamini-Hochberg (false discovery rate): p_(i) x m / i, made non-decreasing from the
//   largest down (the i-th smallest keeps the smallest value of those above it);
//   Holm (family-wise error, step-down): p_(i) x (m - i + 1), made non-decreasing upwards.
std::vector<double> benjamini_hochberg(std::span<const double> p_values);
std::vector<double> holm(std::span<const double> p_values);

}  // namespace lumora
