// The factors' mean rank correlation of a screen: F factors over dates x stocks, each a
// persistent random signal with a few missing cells, all ranked on the same valid stocks.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "lumora/factor_correlation.hpp"

namespace {

void BM_MeanRankCorrelation(benchmark::State& state) {
    const std::int64_t factors = state.range(0), dates = state.range(1), stocks = state.range(2);
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    std::vector<std::vector<double>> cells(static_cast<std::size_t>(factors));
    for (auto& table : cells) {
        table.resize(static_cast<std::size_t>(dates * stocks));
        for (double& x : table) x = normal(rng);
        for (std::size_t k = 0; k < table.size(); k += 97) table[k] = lumora::kNaN;
    }
    const std::vector<double> valid(static_cast<std::size_t>(dates * stocks), 1.0);
    auto aligned = [&](const std::vector<double>& table) {
        lumora::AlignedMatrix m;
        m.view = lumora::MatrixView::dense(table.data(), dates, stocks);
        for (std::int64_t r = 0; r < dates; ++r) m.row_pos.push_back(r);
        for (std::int64_t c = 0; c < stocks; ++c) m.col_pos.push_back(c);
        return m;
    };
    std::vector<lumora::AlignedMatrix> values, validity{aligned(valid)};
    for (const auto& table : cells) values.push_back(aligned(table));
    const std::vector<std::size_t> validity_of(static_cast<std::size_t>(factors), 0);
    for (auto _ : state) {
        std::vector<double> out = lumora::mean_rank_correlation({values, validity, validity_of});
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * factors * dates * stocks);
}
BENCHMARK(BM_MeanRankCorrelation)
    ->Args({10, 500, 279})
    ->Args({50, 500, 279})
    ->Args({20, 100, 5000})
    ->Args({2, 500, 5000})
    ->Args({100, 40, 5000})
    ->Unit(benchmark::kMillisecond);

}  // namespace
