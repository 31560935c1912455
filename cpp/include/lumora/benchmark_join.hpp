#pragma once
// A benchmark's daily returns beside a strategy's: joined to the strategy's dates for its
// total frame, and the strategy's excess over it on the days it has a return.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lumora/strategy_stats.hpp"

namespace lumora {

struct BenchmarkJoin {
    std::vector<std::int64_t> rows;  // the strategy rows kept
    std::vector<double> close;       // the benchmark's level: 1 + the running sum of its returns
    std::vector<double> daily;       // its daily return; a missing one counts as 0
};

// `positions[i]` is the benchmark row of strategy row i's date (-1: it has none), and
// `labels` the benchmark's date labels; rows whose benchmark label lies outside [first,
// last] (the strategy's first and last date) are left out. The level runs over all of the
// benchmark's rows, in its own order.
BenchmarkJoin join_benchmark(std::span<const double> returns, const std::vector<std::string>& labels,
                             const std::vector<std::int64_t>& positions, std::string_view first, std::string_view last);

// The excess of the strategy over the benchmark (both on the strategy's dates) on the days
// the benchmark has a return; none when it has none.
std::optional<ExcessSummary> excess_on_benchmark_days(std::span<const double> strategy,
                                                      std::span<const double> benchmark);

}  // namespace lumora
