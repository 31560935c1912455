#include "lumora/strategy_engine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lumora/strategy_stats.hpp"
#include "lumora/total_frame.hpp"
#include "lumora/weight_table.hpp"

using namespace lumora;

namespace {

// One stock over a few days; every table is a dense days x 1 column.
struct OneStock {
    std::vector<double> weights, can_buy, cant_sell, split, dividend, close, prev_close, buy, sell;

    explicit OneStock(std::size_t days)
        : weights(days, kNaN),
          can_buy(days, 1.0),
          cant_sell(days, 0.0),
          split(days, kNaN),
          dividend(days, kNaN),
          close(days, 10.0),
          prev_close(days, 10.0),
          buy(days, 10.0),
          sell(days, 10.0) {}

    static AlignedMatrix shifted(const std::vector<double>& v) {
        // Trade day i reads row i + 1 of the table (the signal is shifted by one row).
        AlignedMatrix m;
        m.view = MatrixView::dense(v.data(), static_cast<std::int64_t>(v.size()), 1);
        for (std::size_t i = 1; i < v.size(); ++i) m.row_pos.push_back(static_cast<std::int64_t>(i));
        m.col_pos = {0};
        return m;
    }

    std::vector<double> run(TradeCosts costs = {}) const {
        const WeightTable table =
            WeightTable::whole(MatrixView::dense(weights.data(), static_cast<std::int64_t>(weights.size()), 1));
        SparseSignal signal;
        const std::vector<std::int64_t> rows = shifted_signal(table, signal);
        EXPECT_EQ(rows.size(), weights.size() - 1) << "every test day follows a weighted row";
        const MarketArrays market{shifted(can_buy), shifted(cant_sell),  shifted(split), shifted(dividend),
                                  shifted(close),   shifted(prev_close), shifted(buy),   shifted(sell)};
        std::vector<double> cash = strategy_daily_cash(signal, market, costs);
        for (double& c : cash) c /= costs.total_money;
        return cash;
    }
};

// Day 1 buys 12,500 lots (2,500,000 shares at previous close 10.00 with 0.25 of 1e8).
OneStock bought_position(std::size_t days) {
    OneStock s(days);
    s.weights[0] = 0.25;
    s.prev_close[1] = 10.00;
    s.buy[1] = 10.10;
    s.close[1] = 10.20;
    return s;
}

}  // namespace

TEST(StrategyEngine, BuysWholeLotsAndPaysCommission) {
    const OneStock s = bought_position(2);
    EXPECT_NEAR(s.run()[0], 0.00247475, 1e-15);
}

TEST(StrategyEngine, SellsEverythingWhenTheWeightDisappears) {
    OneStock s = bought_position(3);
    s.weights[1] = 0.0;  // a zero weight keeps the row a trade day with a zero target
    s.prev_close[2] = 10.20;
    s.sell[2] = 10.30;
    EXPECT_NEAR(s.run()[1], 0.0023455, 1e-15);
}

TEST(StrategyEngine, SplitRescalesOnlyThatDaysValuation) {
    OneStock s = bought_position(3);
    s.weights[1] = 0.25;
    s.prev_close[2] = 10.20;
    s.split[2] = 2.0;
    s.close[2] = 5.20;
    // The target from prev close 10.20 is below the 2,500,000 shares held: the difference
    // is sold, the rest held; the position itself is never multiplied by the split.
    s.sell[2] = 5.25;
    const double held = std::floor(0.25e8 / (10.20 * 200)) * 200, sold = 2'500'000 - held;
    const double expected = (held * (2.0 * 5.20 - 10.20) + sold * (2.0 * 5.25 * 0.9994 - 10.20)) / 1e8;
    EXPECT_NEAR(s.run()[1], expected, 1e-15);
}

TEST(StrategyEngine, DividendGoesToSharesHeldAtThePreviousClose) {
    OneStock s = bought_position(3);
    s.weights[1] = 0.25;
    s.prev_close[2] = 10.00;  // same target: the whole position is held
    s.close[2] = 9.70;
    s.dividend[2] = 0.5;
    EXPECT_NEAR(s.run()[1], 2'500'000 * (9.70 - 10.00 + 0.5) / 1e8, 1e-15);
}

TEST(StrategyEngine, RestrictionsDelayTradesUntilAllowed) {
    OneStock s(4);
    s.weights[0] = 0.25;
    s.weights[1] = 0.25;
    s.weights[2] = 0.0;
    s.can_buy[1] = 0.0;  // limit up on the first trade day: nothing bought
    s.close[2] = 10.5;
    s.buy[2] = 10.0;
    s.cant_sell[3] = 1.0;  // weight gone but the stock cannot be sold: still held
    s.close[3] = 11.0;
    s.prev_close[3] = 10.5;
    const std::vector<double> r = s.run();
    EXPECT_EQ(r[0], 0.0);
    EXPECT_NEAR(r[1], 2'500'000 * (10.5 - 10.0 * 1.0001) / 1e8, 1e-15);
    EXPECT_NEAR(r[2], 2'500'000 * (11.0 - 10.5) / 1e8, 1e-15);
}

TEST(StrategyEngine, MissingFlagsBlockTrading) {
    OneStock s = bought_position(2);
    s.can_buy[1] = kNaN;
    EXPECT_EQ(s.run()[0], 0.0);
}

TEST(StrategyEngine, LotRoundingIsDownward) {
    OneStock s(2);
    s.prev_close[1] = 10.0;
    s.close[1] = 11.0;
    s.weights[0] = 1.99 * 200 * 10.0 / 1e8;  // 1.99 lots
    EXPECT_NEAR(s.run()[0], 200 * (11.0 - 10.0 * 1.0001) / 1e8, 1e-15);
    s.weights[0] = 0.99 * 200 * 10.0 / 1e8;
    EXPECT_EQ(s.run()[0], 0.0);
    s.weights[0] = -0.5 * 200 * 10.0 / 1e8;  // minus half a lot rounds to minus one lot
    // 200 shares sold short: the sale is charged and the short position earns close - prev.
    EXPECT_NEAR(s.run()[0], (200 * (10.0 * 0.9994 - 10.0) - 200 * (11.0 - 10.0)) / 1e8, 1e-15);
}

TEST(StrategyEngine, RowsAfterAnEmptyRowAreNotTradeDays) {
    std::vector<double> w = {0.5, kNaN, 0.5, 0.5};
    const WeightTable table = WeightTable::whole(MatrixView::dense(w.data(), 4, 1));
    SparseSignal signal;
    EXPECT_EQ(shifted_signal(table, signal), (std::vector<std::int64_t>{1, 3}));
}

TEST(WeightTable, SmoothingDropsWarmUpRowsAndZeroMeans) {
    std::vector<double> w = {0.25, 0.0, 0.25, 0.0, kNaN, 0.25, 0.0, 0.0, kNaN, 0.0};  // 5 rows x 2
    const WeightTable table = WeightTable::whole(MatrixView::dense(w.data(), 5, 2));
    std::vector<std::int64_t> kept;
    const std::vector<double> out = smooth_weights(table, 3, kept);
    EXPECT_EQ(kept, (std::vector<std::int64_t>{2, 3, 4}));
    EXPECT_NEAR(out[0], 1.0 / 6.0, 1e-15);
    EXPECT_NEAR(out[1], 1.0 / 12.0, 1e-15);
    EXPECT_NEAR(out[2], 1.0 / 12.0, 1e-15);
    EXPECT_TRUE(std::isnan(out[4]));  // no weight left in the window
}

TEST(TotalFrame, RebasesOnTheFirstDay) {
    const std::vector<double> daily = {0.01, 0.02, -0.01}, bench = {0.0, 0.01, 0.0};
    const TotalFrame t = build_total_frame(daily.data(), bench.data(), nullptr, 3);
    EXPECT_DOUBLE_EQ(t.long_nav[0], 1.0);
    EXPECT_NEAR(t.long_nav[1], 1.03 / 1.01, 1e-15);
    EXPECT_NEAR(t.max_drowdown[2], 1.02 / 1.01 - 1.03 / 1.01, 1e-15);
    EXPECT_NEAR(t.extra_return[1], 0.01, 1e-15);
    EXPECT_NEAR(t.extra_max_drowdown[2], -0.01, 1e-15);
}

TEST(StrategyStats, HoldingCountAndTurnover) {
    std::vector<double> w = {0.5, 0.5, 0.5, kNaN, kNaN, 1.0};
    const WeightTable table = WeightTable::whole(MatrixView::dense(w.data(), 3, 2));
    const WeightActivity a = weight_activity(table);
    EXPECT_NEAR(a.holding_count, 4.0 / 3.0, 1e-15);
    EXPECT_NEAR(a.turnover, 0.5, 1e-15);
}
