#pragma once
// Statistics of a strategy backtest and its excess over each benchmark.

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

#include "lumora/weight_table.hpp"

namespace lumora {

// The columns of a cleaned total frame (no row with a missing value), n rows each.
struct TotalColumns {
    const double* daily_return = nullptr;
    const double* index_daily_return = nullptr;
    const double* extra_daily_return = nullptr;
    const double* long_nav = nullptr;
    const double* close_net_value = nullptr;
    const double* max_drowdown = nullptr;
    const double* extra_return = nullptr;
    const double* extra_max_drowdown = nullptr;
    std::size_t n = 0;
};

inline constexpr std::size_t kStatCount = 13;

// Keys in the order of a filled mapping, and in the order of the all-missing mapping.
extern const std::array<std::string_view, kStatCount> kStatKeys;
extern const std::array<std::string_view, kStatCount> kEmptyStatKeys;

// Values in the order of kStatKeys. With n == 0 every value is NaN.
std::array<double, kStatCount> strategy_stats(const TotalColumns& total, const WeightTable* weights);

// Average number of finite weights per row, and average one-way turnover between rows.
struct WeightActivity {
    double holding_count;
    double turnover;
};
WeightActivity weight_activity(const WeightTable& weights);

// Pearson correlation; NaN when either side is constant or shorter than two.
double pearson(const double* a, const double* b, std::size_t n);

// The same about means already known (exactly as pearson would find them).
double pearson_about(const double* a, const double* b, std::size_t n, double mean_a, double mean_b);

// Excess of the strategy over one benchmark on their common dates.
struct ExcessSummary {
    double benchmark_annual_return;
    double excess_annual_return;
    double excess_sharpe;
    double excess_max_dd;  // <= 0
};
ExcessSummary excess_summary(const std::vector<double>& strategy, const std::vector<double>& benchmark);

// Mean of the values (NaN for none).
double mean_of(const double* values, std::size_t n);

// The values without NaN and infinities.
std::vector<double> finite_values(const double* values, std::size_t n);

}  // namespace lumora
