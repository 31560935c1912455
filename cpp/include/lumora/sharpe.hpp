#pragma once
// Annualised Sharpe ratio of daily returns.

#include <cstddef>

namespace lumora {

inline constexpr double kTradingDaysPerYear = 252.0;

// mean / sample standard deviation * sqrt(periods). NaN for fewer than two returns, for a
// non-finite input and for a (numerically) constant series.
double safe_sharpe(const double* returns, std::size_t n, double periods = kTradingDaysPerYear);

}  // namespace lumora
