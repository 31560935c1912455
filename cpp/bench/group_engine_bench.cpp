// The group engine's trading of a factor request, alone: a random-walk market of 250 dates x
// 5,000 stocks (prices in cents, now and then a stock that cannot be bought or sold), a
// noise factor in 20 groups, one worker. BM_GroupRankOnly ranks the same dates without
// trading: the difference is what the trading costs. BM_GroupTradeBoolFlags trades with the
// two trading flags as bool tables, as a loaded market hands them over.

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "lumora/group_engine.hpp"

namespace {

using namespace lumora;

AlignedMatrix aligned(const MatrixView& view, std::int64_t rows, std::int64_t cols) {
    AlignedMatrix m;
    m.view = view;
    for (std::int64_t r = 0; r < rows; ++r) m.row_pos.push_back(r);
    for (std::int64_t c = 0; c < cols; ++c) m.col_pos.push_back(c);
    return m;
}

AlignedMatrix dense(const std::vector<double>& v, std::int64_t rows, std::int64_t cols) {
    return aligned(MatrixView::dense(v.data(), rows, cols), rows, cols);
}

AlignedMatrix dense_flags(const std::vector<std::uint8_t>& v, std::int64_t rows, std::int64_t cols) {
    return aligned(MatrixView{reinterpret_cast<const std::byte*>(v.data()), rows, cols,
                              static_cast<std::ptrdiff_t>(cols), 1, CellKind::Bool},
                   rows, cols);
}

struct WalkMarket {
    std::int64_t rows, cols;
    std::vector<double> factor, valid, can_buy, cant_sell, missing, close, prev_close, open;
    std::vector<std::uint8_t> can_buy_flags, cant_sell_flags;
    MarketArrays market, flag_market;  // the flags as float64 tables, or as bool tables

    WalkMarket(std::int64_t r, std::int64_t c)
        : rows(r),
          cols(c),
          factor(cells()),
          valid(cells(), 1.0),
          can_buy(cells(), 1.0),
          cant_sell(cells(), 0.0),
          missing(cells(), kNaN),
          close(cells()),
          prev_close(cells()),
          open(cells()) {
        std::mt19937_64 rng(11);
        std::normal_distribution<double> step(0.0, 0.02);
        std::uniform_real_distribution<double> start(3.0, 60.0), coin(0.0, 1.0);
        for (std::int64_t j = 0; j < c; ++j) {
            double price = std::round(start(rng) * 100.0) / 100.0;
            for (std::int64_t i = 0; i < r; ++i) {
                const auto k = static_cast<std::size_t>(i * c + j);
                prev_close[k] = price;
                open[k] = std::round(price * (1.0 + step(rng) / 4.0) * 100.0) / 100.0;
                price = std::max(0.01, std::round(price * (1.0 + step(rng)) * 100.0) / 100.0);
                close[k] = price;
                factor[k] = step(rng);
                can_buy[k] = coin(rng) < 0.97 ? 1.0 : 0.0;
                cant_sell[k] = coin(rng) < 0.03 ? 1.0 : 0.0;
            }
        }
        market = MarketArrays{table(can_buy), table(cant_sell),  table(missing), table(missing),
                              table(close),   table(prev_close), table(open),    table(open)};
        can_buy_flags.assign(can_buy.begin(), can_buy.end());
        cant_sell_flags.assign(cant_sell.begin(), cant_sell.end());
        flag_market = market;
        flag_market.can_buy = dense_flags(can_buy_flags, r, c);
        flag_market.cant_sell = dense_flags(cant_sell_flags, r, c);
    }

    std::size_t cells() const { return static_cast<std::size_t>(rows * cols); }
    AlignedMatrix table(const std::vector<double>& v) const { return dense(v, rows, cols); }

    GroupInputs inputs(bool trade, bool bool_flags) const {
        GroupInputs in;
        in.factor = table(factor);
        in.valid = table(valid);
        in.market = bool_flags ? &flag_market : &market;
        in.group_num = 20;
        in.trade = trade;
        in.workers = 1;
        return in;
    }
};

const WalkMarket& walk_market() {
    static const WalkMarket m(250, 5000);
    return m;
}

void run(benchmark::State& state, bool trade, bool bool_flags = false) {
    const WalkMarket& m = walk_market();
    const GroupInputs in = m.inputs(trade, bool_flags);
    for (auto _ : state) {
        GroupOutputs out = run_group_backtest(in);
        benchmark::DoNotOptimize(out.daily.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(m.cells()));
    state.SetLabel("250 dates x 5,000 stocks, 20 groups");
}

void BM_GroupTrade(benchmark::State& state) { run(state, true); }
void BM_GroupTradeBoolFlags(benchmark::State& state) { run(state, true, true); }
void BM_GroupRankOnly(benchmark::State& state) { run(state, false); }
BENCHMARK(BM_GroupTrade)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GroupTradeBoolFlags)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GroupRankOnly)->Unit(benchmark::kMillisecond);

}  // namespace
