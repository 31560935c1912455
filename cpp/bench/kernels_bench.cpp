// Hot kernels of the engines: the daily cross-section sort and the strategy day loop.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "lumora/radix_sort.hpp"
#include "lumora/strategy_engine.hpp"

namespace {

std::vector<double> cross_section(std::size_t n) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    std::vector<double> v(n);
    for (double& x : v) x = normal(rng);
    return v;
}

void BM_RadixArgsort(benchmark::State& state) {
    const std::vector<double> keys = cross_section(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint32_t> order;
    lumora::RadixScratch scratch;
    for (auto _ : state) {
        lumora::radix_argsort(keys.data(), keys.size(), order, scratch);
        benchmark::DoNotOptimize(order.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RadixArgsort)->Arg(5000);

// Baseline: a comparison sort of the same cross-section.
void BM_StdSortArgsort(benchmark::State& state) {
    const std::vector<double> keys = cross_section(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint32_t> order(keys.size());
    for (auto _ : state) {
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
        benchmark::DoNotOptimize(order.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StdSortArgsort)->Arg(5000);

// The strategy engine over days x stocks with `weighted` stocks a day, half of them kept
// from one day to the next.
void BM_StrategyDailyCash(benchmark::State& state) {
    const std::int64_t days = 500, stocks = 5000, weighted = state.range(0);
    std::mt19937_64 rng(3);
    std::vector<double> weights(static_cast<std::size_t>(days * stocks), lumora::kNaN);
    std::vector<double> prices(static_cast<std::size_t>(days * stocks), 10.0), flags(prices.size(), 1.0),
        blocked(prices.size(), 0.0), missing(prices.size(), lumora::kNaN);
    std::vector<std::int64_t> picks(static_cast<std::size_t>(weighted));
    std::uniform_int_distribution<std::int64_t> pick(0, stocks - 1);
    for (auto& p : picks) p = pick(rng);
    for (std::int64_t d = 0; d < days; ++d) {
        for (std::int64_t k = 0; k < weighted / 2; ++k) picks[static_cast<std::size_t>(k)] = pick(rng);
        for (const std::int64_t p : picks)
            weights[static_cast<std::size_t>(d * stocks + p)] = 1.0 / static_cast<double>(weighted);
    }
    using lumora::MatrixView;
    const lumora::WeightTable table = lumora::WeightTable::whole(MatrixView::dense(weights.data(), days, stocks));
    lumora::SparseSignal signal;
    const std::vector<std::int64_t> rows = lumora::shifted_signal(table, signal);
    auto aligned = [&](const std::vector<double>& v) {
        lumora::AlignedMatrix m;
        m.view = MatrixView::dense(v.data(), days, stocks);
        m.row_pos = rows;
        for (std::int64_t j = 0; j < stocks; ++j) m.col_pos.push_back(j);
        return m;
    };
    const lumora::MarketArrays market{aligned(flags),  aligned(blocked), aligned(missing), aligned(missing),
                                      aligned(prices), aligned(prices),  aligned(prices),  aligned(prices)};
    for (auto _ : state) benchmark::DoNotOptimize(lumora::strategy_daily_cash(signal, market, {}));
    state.SetItemsProcessed(state.iterations() * days * weighted);
}
BENCHMARK(BM_StrategyDailyCash)->Arg(300);

}  // namespace
