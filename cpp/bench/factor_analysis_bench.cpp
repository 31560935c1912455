// The factor analysis of a group request, alone: the per-date figures (IC and Rank IC at the
// four horizons, the groups' mean returns, the Rank IC by industry) and the lagged figures,
// on a random-walk market of 250 dates x 5,000 stocks as a loaded market hands it over:
// prices in cents (so factor values and returns tie), now and then a stock suspended (no
// open, no valid close), 28 industries with a few stocks in none, a table of next-open
// return ranks, the market's work built once. A five-day reversal in 20 groups, one worker,
// no trading. BM_AnalysisRankOnly ranks the same dates without the analysis: the difference
// is what the analysis costs.

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "lumora/group_engine.hpp"
#include "lumora/market_work.hpp"
#include "lumora/ranking.hpp"

namespace {

using namespace lumora;

AlignedMatrix aligned(const std::vector<double>& v, std::int64_t rows, std::int64_t cols) {
    AlignedMatrix m;
    m.view = MatrixView::dense(v.data(), rows, cols);
    for (std::int64_t r = 0; r < rows; ++r) m.row_pos.push_back(r);
    for (std::int64_t c = 0; c < cols; ++c) m.col_pos.push_back(c);
    return m;
}

struct AnalysisMarket {
    std::int64_t rows, cols;
    std::vector<double> factor, valid, open, close, split, dividend, industry, next_open_rank;
    MarketArrays market;
    MarketWork work;
    ForwardOpens opens;

    AnalysisMarket(std::int64_t r, std::int64_t c)
        : rows(r),
          cols(c),
          factor(cells(), kNaN),
          valid(cells(), 1.0),
          open(cells()),
          close(cells()),
          split(cells(), kNaN),
          dividend(cells(), kNaN),
          industry(cells()),
          next_open_rank(cells(), kNaN) {
        std::mt19937_64 rng(5);
        std::normal_distribution<double> step(0.0, 0.02);
        std::uniform_real_distribution<double> start(3.0, 60.0), coin(0.0, 1.0);
        std::uniform_int_distribution<int> sector(1, 28);
        for (std::int64_t j = 0; j < c; ++j) {
            double price = std::round(start(rng) * 100.0) / 100.0;
            double code = coin(rng) < 0.02 ? kNaN : sector(rng);
            for (std::int64_t i = 0; i < r; ++i) {
                const auto k = static_cast<std::size_t>(i * c + j);
                if (coin(rng) < 0.001) code = sector(rng);  // a stock moved to another industry
                industry[k] = code;
                const bool suspended = coin(rng) < 0.01;
                open[k] = suspended ? kNaN : std::round(price * (1.0 + step(rng) / 4.0) * 100.0) / 100.0;
                price = std::max(0.01, std::round(price * (1.0 + step(rng)) * 100.0) / 100.0);
                close[k] = price;
                valid[k] = suspended ? kNaN : 1.0;
            }
        }
        // The five-day reversal of the closes.
        for (std::int64_t i = 5; i < r; ++i)
            for (std::int64_t j = 0; j < c; ++j) {
                const auto k = static_cast<std::size_t>(i * c + j);
                factor[k] = -(close[k] / close[k - static_cast<std::size_t>(5 * c)] - 1.0);
            }
        // The table of next-open return ranks: average ranks of open(t+2) / open(t+1) - 1.
        std::vector<double> returns, ranks;
        std::vector<std::int64_t> at;
        RadixScratch radix;
        for (std::int64_t i = 0; i + 2 < r; ++i) {
            returns.clear();
            at.clear();
            for (std::int64_t j = 0; j < c; ++j) {
                const double v =
                    open[static_cast<std::size_t>((i + 2) * c + j)] / open[static_cast<std::size_t>((i + 1) * c + j)] -
                    1.0;
                if (!std::isfinite(v)) continue;
                returns.push_back(v);
                at.push_back(j);
            }
            average_ranks(returns.data(), returns.size(), ranks, radix);
            for (std::size_t m = 0; m < at.size(); ++m)
                next_open_rank[static_cast<std::size_t>(i * c + at[m])] = ranks[m];
        }
        // Nothing is traded: the trading tables are handed over but never read.
        market = MarketArrays{table(valid), table(valid), table(split), table(dividend),
                              table(close), table(close), table(open),  table(open)};
        work = build_market_work(table(open), table(close), table(split), table(dividend), false);
        opens.open = table(open);
        opens.work = &work;
        opens.span = r;
    }

    std::size_t cells() const { return static_cast<std::size_t>(rows * cols); }
    AlignedMatrix table(const std::vector<double>& v) const { return aligned(v, rows, cols); }
};

const AnalysisMarket& analysis_market() {
    static const AnalysisMarket m(250, 5000);
    return m;
}

void run(benchmark::State& state, bool analysis) {
    const AnalysisMarket& m = analysis_market();
    const AlignedMatrix industry = m.table(m.industry), ranks = m.table(m.next_open_rank);
    GroupInputs in;
    in.factor = m.table(m.factor);
    in.valid = m.table(m.valid);
    in.market = &m.market;
    in.group_num = 20;
    in.trade = false;
    in.workers = 1;
    if (analysis) {
        in.analysis = true;
        in.opens = &m.opens;
        in.industry = &industry;
        in.forward_source = ForwardSource::Table;
        in.forward = &ranks;
    }
    for (auto _ : state) {
        GroupOutputs out = run_group_backtest(in);
        benchmark::DoNotOptimize(out.rank_ic.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(m.cells()));
    state.SetLabel("250 dates x 5,000 stocks, 20 groups");
}

void BM_AnalysisWhole(benchmark::State& state) { run(state, true); }
void BM_AnalysisRankOnly(benchmark::State& state) { run(state, false); }
BENCHMARK(BM_AnalysisWhole)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnalysisRankOnly)->Unit(benchmark::kMillisecond);

}  // namespace
