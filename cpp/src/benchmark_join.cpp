#include "lumora/benchmark_join.hpp"

#include <cmath>

namespace lumora {

BenchmarkJoin join_benchmark(std::span<const double> returns, const std::vector<std::string>& labels,
                             const std::vector<std::int64_t>& positions, std::string_view first,
                             std::string_view last) {
    std::vector<double> daily(returns.size()), close(returns.size());
    double level = 0.0;
    for (std::size_t i = 0; i < returns.size(); ++i) {
        daily[i] = std::isfinite(returns[i]) ? returns[i] : 0.0;
        level += daily[i];
        close[i] = level + 1.0;
    }
    BenchmarkJoin out;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        if (positions[i] < 0) continue;
        const auto row = static_cast<std::size_t>(positions[i]);
        const std::string_view label = labels[row];
        if (label < first || label > last) continue;
        out.rows.push_back(static_cast<std::int64_t>(i));
        out.close.push_back(close[row]);
        out.daily.push_back(daily[row]);
    }
    return out;
}

std::optional<ExcessSummary> excess_on_benchmark_days(std::span<const double> strategy,
                                                      std::span<const double> benchmark) {
    std::vector<double> kept_strategy, kept_benchmark;
    for (std::size_t i = 0; i < benchmark.size(); ++i) {
        if (std::isnan(benchmark[i])) continue;
        kept_strategy.push_back(strategy[i]);
        kept_benchmark.push_back(benchmark[i]);
    }
    if (kept_benchmark.empty()) return std::nullopt;
    return excess_summary(kept_strategy, kept_benchmark);
}

}  // namespace lumora
