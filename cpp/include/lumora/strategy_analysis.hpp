#pragma once
// The strategy analysis of a backtest's daily returns: downside figures, the worst
// drawdowns, calendar returns and rolling figures. Returns are fractions of the capital and
// cumulate additively (a month's return is the sum of its days), as the engine's net value.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lumora/return_figures.hpp"

namespace lumora {

inline constexpr std::size_t kRollingDays = 126;
inline constexpr std::size_t kWorstDrawdowns = 5;

struct StrategyFigures {
    double sortino;        // mean x 252 / (root mean square of the negative days x sqrt 252)
    double calmar;         // mean x 252 / |max drawdown|
    double max_drawdown;   // <= 0, additive net value, in capital
    double var_95_daily;   // 5th percentile of the daily returns (linear interpolation)
    double cvar_95_daily;  // mean of the floor((n - 1) x 0.05) + 1 lowest daily returns
    Moments moments;       // skew and excess kurtosis among them
    double best_day, worst_day, best_month, worst_month, best_year, worst_year;
    KeyedFigures months;                                     // keys YYYYMM: the sums are the monthly returns
    KeyedFigures years;                                      // keys YYYY
    std::vector<Drawdown> drawdowns;                         // the five deepest
    std::vector<double> rolling_sharpe, rolling_volatility;  // NaN for the first 125 days
};

// `daily` without missing values; `months` the YYYYMM of each day.
StrategyFigures strategy_figures(std::span<const double> daily, std::span<const std::int32_t> months);

}  // namespace lumora
