#pragma once
// The strategy analysis of a backtest's total frame: downside figures, the worst drawdowns,
// calendar returns, figures against the primary benchmark and rolling figures.
//
// The net value and its drawdowns are the total frame's own (`long`, 1 + the running sum of
// the daily returns rebased on the first day), so every figure the statistics also give
// agrees with them. Returns cumulate additively (a month's return is the sum of its days);
// the few figures that compound the daily returns say so in their names or notes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lumora/return_figures.hpp"

namespace lumora {

inline constexpr std::size_t kRollingDays = 126;
inline constexpr std::size_t kWorstDrawdowns = 5;

// Columns of the total frame, one value per row, none missing.
struct StrategySeries {
    std::span<const double> daily;         // daily_return
    std::span<const double> benchmark;     // index_daily_return: the primary benchmark (0.0 without one)
    std::span<const double> excess;        // extra_daily_return
    std::span<const double> net_value;     // long
    std::span<const std::int32_t> months;  // YYYYMM of each row
};

struct StrategyFigures {
    double sortino;        // mean x 252 / (root mean square of the negative days x sqrt 252)
    double calmar;         // annual return of the statistics / |max drawdown|
    double max_drawdown;   // <= 0: the deepest fall of the net value below its running peak
    double var_95_daily;   // 5th percentile of the daily returns (linear interpolation)
    double cvar_95_daily;  // mean of the floor((n - 1) x 0.05) + 1 lowest daily returns
    Moments moments;       // skew and excess kurtosis among them
    double best_day, worst_day, best_month, worst_month, best_year, worst_year;

    double annual_volatility;        // sample standard deviation x sqrt 252
    double cagr;                     // prod(1 + r) ^ (252 / n) - 1
    double max_drawdown_compounded;  // of prod(1 + r), the peak starting at the capital
    double alpha;                    // (1 + mean(r - beta x b)) ^ 252 - 1
    double beta;                     // cov(r, b) / var(b), population moments
    double information_ratio;        // mean / sample sd of the excess returns x sqrt 252
    double tail_ratio;               // |95th percentile| / |5th percentile|
    double stability;                // R^2 of the running sum of log(1 + r) against time
    double omega;                    // sum of the gains / sum of the losses (threshold 0)

    KeyedFigures months;                                                   // keys YYYYMM: sums are the monthly returns
    KeyedFigures years;                                                    // keys YYYY
    std::vector<Drawdown> drawdowns;                                       // the five deepest
    std::vector<double> rolling_sharpe, rolling_volatility, rolling_beta;  // NaN for the first 125 rows
};

StrategyFigures strategy_figures(const StrategySeries& series);

// The analysis summary in the record's order: each single-number figure above, and the
// traded value turnover (traded value / capital per year) the caller measures from the
// trade log. A figure added to StrategyFigures is shown by adding it here.
std::vector<NamedFigure> summary_figures(const StrategyFigures& f, double traded_value_turnover_annual);

}  // namespace lumora
