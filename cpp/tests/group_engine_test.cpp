#include "lumora/group_engine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "aligned_tables.hpp"

using namespace lumora;

namespace {

using lumora::test_tables::identity_aligned;

// A flat market of `rows` dates x `cols` stocks, every stock tradable at 10.00 all along,
// and a factor table to fill in (row-major).
struct FlatMarket {
    std::int64_t rows, cols;
    std::vector<double> factor, valid, forward, can_buy, cant_sell, missing, price;
    MarketArrays market;

    FlatMarket(std::int64_t r, std::int64_t c)
        : rows(r),
          cols(c),
          factor(static_cast<std::size_t>(r * c), kNaN),
          valid(factor.size(), 1.0),
          forward(factor.size(), kNaN),
          can_buy(factor.size(), 1.0),
          cant_sell(factor.size(), 0.0),
          missing(factor.size(), kNaN),
          price(factor.size(), 10.0),
          market{table(can_buy), table(cant_sell), table(missing), table(missing),
                 table(price),   table(price),     table(price),   table(price)} {}

    AlignedMatrix table(const std::vector<double>& v) const { return identity_aligned(v, rows, cols); }
    double& cell(std::vector<double>& v, std::int64_t r, std::int64_t c) {
        return v[static_cast<std::size_t>(r * cols + c)];
    }

    GroupOutputs run(int groups, bool ascending = false, bool with_forward = false) const {
        const AlignedMatrix forward_table = table(forward);
        GroupInputs in;
        in.factor = table(factor);
        in.valid = table(valid);
        in.market = &market;
        in.forward_source = with_forward ? ForwardSource::Table : ForwardSource::None;
        in.forward = with_forward ? &forward_table : nullptr;
        in.group_num = groups;
        in.ascending = ascending;
        return run_group_backtest(in);
    }
};

std::vector<std::int32_t> sizes_on(const GroupOutputs& out, std::int64_t row) {
    const auto G = static_cast<std::size_t>(out.group_num);
    const auto first = out.sizes.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(row) * G);
    return {first, first + static_cast<std::ptrdiff_t>(G)};
}

}  // namespace

TEST(GroupCut, RemainderGoesToTheFirstGroupsOneByOne) {
    EXPECT_EQ(group_cut(7, 3), (std::vector<std::int32_t>{0, 0, 0, 1, 1, 2, 2}));
    EXPECT_EQ(group_cut(6, 3), (std::vector<std::int32_t>{0, 0, 1, 1, 2, 2}));
    EXPECT_EQ(group_cut(2, 5), (std::vector<std::int32_t>{0, 1}));  // fewer stocks than groups
    EXPECT_TRUE(group_cut(0, 4).empty());
}

TEST(GroupEngine, EmptyDayFormsNoGroupAndTheNextDayTradesNothing) {
    FlatMarket m(3, 4);
    for (std::int64_t j = 0; j < 4; ++j) m.cell(m.factor, 0, j) = static_cast<double>(j);
    // Day 1: no usable factor at all (missing, infinite, or without a valid close).
    m.cell(m.factor, 1, 0) = INFINITY;
    m.cell(m.factor, 1, 1) = 2.0;
    m.cell(m.valid, 1, 1) = kNaN;
    m.cell(m.factor, 1, 2) = 3.0;
    m.cell(m.valid, 1, 2) = 0.0;
    const GroupOutputs out = m.run(2);
    EXPECT_EQ(sizes_on(out, 0), (std::vector<std::int32_t>{2, 2}));
    EXPECT_EQ(sizes_on(out, 1), (std::vector<std::int32_t>{0, 0}));
    EXPECT_TRUE(out.traded[1]);  // trades day 0's groups
    EXPECT_FALSE(out.traded[2]);
    EXPECT_TRUE(std::isnan(out.daily[2 * 2]) && std::isnan(out.daily[2 * 2 + 1]));
    EXPECT_FALSE(out.traded[0]);  // the first date has no groups before it
}

TEST(GroupEngine, OneStockFillsTheFirstGroupOnly) {
    FlatMarket m(2, 3);
    m.cell(m.factor, 0, 1) = 0.5;
    const GroupOutputs out = m.run(3);
    EXPECT_EQ(sizes_on(out, 0), (std::vector<std::int32_t>{1, 0, 0}));
    EXPECT_FALSE(std::isnan(out.daily[3]));  // group 0 trades on day 1
    EXPECT_TRUE(std::isnan(out.daily[4]) && std::isnan(out.daily[5]));
}

TEST(GroupEngine, TiesAreCutByColumnAndAscendingReversesTheGroups) {
    // Five equal factors in two groups: the first three columns go to group 0 (with the
    // remainder), whichever the direction; a larger factor lands in the last group unless
    // ascending.
    FlatMarket m(2, 6);
    for (std::int64_t j = 0; j < 5; ++j) m.cell(m.factor, 0, j) = 1.0;
    m.cell(m.factor, 0, 5) = 9.0;
    for (const bool ascending : {false, true}) {
        const GroupOutputs out = m.run(2, ascending);
        EXPECT_EQ(sizes_on(out, 0), (std::vector<std::int32_t>{3, 3})) << ascending;
    }
    // With a NaN factor the stock is left out and the others still split with the remainder.
    m.cell(m.factor, 0, 5) = kNaN;
    EXPECT_EQ(sizes_on(m.run(2), 0), (std::vector<std::int32_t>{3, 2}));
}

TEST(GroupEngine, RankIcOfRankValuedForwardReturnsEqualsThatOfRawReturns) {
    // Forward values that are whole or half ranks up to the stock count plus one are ordered
    // by counting, others by the radix sort; Spearman sees only the order, so both agree.
    // The ranks include both ends of the counting range (0 and n + 1) and a tie.
    const std::vector<double> factor{0.3, -1.0, 2.0, 0.7, 0.1};
    const std::vector<double> ranks{6.0, 0.0, 2.5, 2.5, 4.0};  // n = 5: n + 1 = 6
    FlatMarket as_ranks(1, 5), as_returns(1, 5);
    for (std::int64_t j = 0; j < 5; ++j) {
        as_ranks.cell(as_ranks.factor, 0, j) = as_returns.cell(as_returns.factor, 0, j) = factor[j];
        as_ranks.cell(as_ranks.forward, 0, j) = ranks[j];
        as_returns.cell(as_returns.forward, 0, j) = 0.01 * ranks[j] - 0.0123;  // same order, not ranks
    }
    const double by_counting = as_ranks.run(2, false, true).rank_ic[0];
    const double by_radix = as_returns.run(2, false, true).rank_ic[0];
    ASSERT_FALSE(std::isnan(by_counting));
    EXPECT_NEAR(by_counting, by_radix, 1e-15);
    // Factor ranks 3, 1, 5, 4, 2 against forward ranks 5, 1, 2.5, 2.5, 4: centred products
    // sum to 1.5, squares to 10 and 9.5.
    EXPECT_NEAR(by_counting, 1.5 / std::sqrt(95.0), 1e-15);
}

TEST(GroupEngine, RankIcNeedsTwoStocksWithAForwardReturn) {
    FlatMarket m(1, 3);
    m.cell(m.factor, 0, 0) = 1.0;
    m.cell(m.factor, 0, 1) = 2.0;
    m.cell(m.forward, 0, 0) = 0.5;  // the second stock has none, the third no factor
    m.cell(m.forward, 0, 2) = 0.7;
    EXPECT_TRUE(std::isnan(m.run(2, false, true).rank_ic[0]));
}

TEST(GroupEngine, WorkersShareTheDatesWithoutChangingAnyResult) {
    // A random market over several blocks of dates: suspensions, missing factors, splits
    // and prices that move. Every output, the analysis included, must not depend on how
    // many workers ranked the dates.
    const std::int64_t rows = 300, cols = 37;
    FlatMarket m(rows, cols);
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> split(m.factor.size(), kNaN);
    for (std::int64_t j = 0; j < cols; ++j) {
        double price = 5.0 + 20.0 * unit(rng);
        for (std::int64_t r = 0; r < rows; ++r) {
            price *= 1.0 + 0.04 * (unit(rng) - 0.5);
            m.cell(m.price, r, j) = std::round(price * 100.0) / 100.0;
            m.cell(m.factor, r, j) = unit(rng) < 0.1 ? kNaN : std::floor(unit(rng) * 50.0);  // ties too
            m.cell(m.forward, r, j) = unit(rng) - 0.5;
            m.cell(m.can_buy, r, j) = unit(rng) < 0.05 ? 0.0 : 1.0;
            m.cell(m.cant_sell, r, j) = unit(rng) < 0.05 ? 1.0 : 0.0;
            if (unit(rng) < 0.01) m.cell(split, r, j) = 2.0;
        }
    }
    const MarketArrays market{m.table(m.can_buy), m.table(m.cant_sell), m.table(split),   m.table(m.missing),
                              m.table(m.price),   m.table(m.price),     m.table(m.price), m.table(m.price)};
    const AlignedMatrix forward = m.table(m.forward);
    const MarketWork work =
        build_market_work(m.table(m.price), m.table(m.price), m.table(split), m.table(m.missing), true);
    ForwardOpens opens;
    opens.open = m.table(m.price);
    opens.work = &work;
    opens.span = rows;
    auto run = [&](int workers, ForwardSource source = ForwardSource::Table, const ForwardOpens* with = nullptr) {
        GroupInputs in;
        in.factor = m.table(m.factor);
        in.valid = m.table(m.valid);
        in.market = &market;
        in.forward_source = source;
        in.forward = source == ForwardSource::Table ? &forward : &opens.open;
        in.analysis = true;
        in.opens = with != nullptr ? with : &opens;
        in.group_num = 4;
        in.workers = workers;
        return run_group_backtest(in);
    };
    auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
                   return x == y || (std::isnan(x) && std::isnan(y));
               });
    };
    const GroupOutputs one = run(1);
    for (const int workers : {2, 3}) {
        const GroupOutputs many = run(workers);
        EXPECT_TRUE(same(one.daily, many.daily)) << workers;
        EXPECT_TRUE(same(one.rank_ic, many.rank_ic)) << workers;
        EXPECT_TRUE(same(one.dates.ic, many.dates.ic)) << workers;
        EXPECT_TRUE(same(one.dates.rank_ic, many.dates.rank_ic)) << workers;
        EXPECT_TRUE(same(one.dates.group_mean, many.dates.group_mean)) << workers;
        EXPECT_TRUE(same(one.dates.turnover, many.dates.turnover)) << workers;
        EXPECT_TRUE(same(one.dates.rank_autocorr, many.dates.rank_autocorr)) << workers;
        EXPECT_EQ(one.sizes, many.sizes) << workers;
        EXPECT_EQ(one.traded, many.traded) << workers;
        EXPECT_EQ(one.dates.universe, many.dates.universe) << workers;
    }
    // The Rank IC read off the work's dense ranks by counting is the one the open prices
    // give by sorting, to the last bit; so are the longer horizons' without the ranks.
    const GroupOutputs from_opens = run(2, ForwardSource::OpenPrices);
    const GroupOutputs from_ranks = run(2, ForwardSource::WorkRanks);
    EXPECT_TRUE(same(from_opens.rank_ic, from_ranks.rank_ic));
    EXPECT_GT(
        std::count_if(from_ranks.rank_ic.begin(), from_ranks.rank_ic.end(), [](double v) { return !std::isnan(v); }),
        rows / 2);
    MarketWork unranked =
        build_market_work(m.table(m.price), m.table(m.price), m.table(split), m.table(m.missing), true);
    for (LargeArray<DenseRank>& table : unranked.ranks) table = LargeArray<DenseRank>();
    ForwardOpens sorted = opens;
    sorted.work = &unranked;
    EXPECT_TRUE(same(one.dates.rank_ic, run(2, ForwardSource::Table, &sorted).dates.rank_ic));
    // The run traded and the analysis saw every block's first date.
    EXPECT_GT(std::count(one.traded.begin(), one.traded.end(), true), rows / 2);
    EXPECT_FALSE(std::isnan(one.dates.rank_autocorr[64]));
    EXPECT_FALSE(std::isnan(one.dates.turnover[64 * 4]));
}

TEST(NextOpenReturns, MatchTheOpenRatioInEitherLayoutWithGapsAndTheTableEnd) {
    // Seven open-table rows x five stocks, stored row-major and column-major. Dates map to
    // table rows with a gap, an absent date and dates too near the end for a return; stocks
    // are reordered with one absent (read label by label), or all in place (read strided).
    const std::int64_t rows = 7, cols = 5;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> price(5.0, 50.0);
    std::vector<double> by_date(static_cast<std::size_t>(rows * cols)), by_stock(by_date.size());
    for (std::int64_t r = 0; r < rows; ++r)
        for (std::int64_t c = 0; c < cols; ++c)
            by_stock[static_cast<std::size_t>(c * rows + r)] = by_date[static_cast<std::size_t>(r * cols + c)] =
                price(rng);
    const MatrixView row_major = MatrixView::dense(by_date.data(), rows, cols);
    const MatrixView column_major{reinterpret_cast<const std::byte*>(by_stock.data()),
                                  rows,
                                  cols,
                                  static_cast<std::ptrdiff_t>(sizeof(double)),
                                  static_cast<std::ptrdiff_t>(rows * sizeof(double)),
                                  CellKind::Float64};
    const std::vector<std::vector<std::int64_t>> date_rows{{0, 1, -1, 3, 4, 5, 6}, {0, 1, 2, 3, 4, 5, 6}};
    const std::vector<std::vector<std::int64_t>> stock_cols{{0, 2, -1, 4, 1}, {0, 1, 2, 3, 4}};
    for (const MatrixView& view : {row_major, column_major})
        for (const auto& row_pos : date_rows)
            for (const auto& col_pos : stock_cols) {
                const AlignedMatrix open{view, row_pos, col_pos};
                NextOpenReturns returns(open);
                std::vector<double> got;
                const std::int64_t n = cols;
                // Blocks of consecutive table rows copy each row once; the others, and a
                // block reaching the table's end, twice.
                for (const auto& [first, last] : {std::pair<std::int64_t, std::int64_t>{1, 4}, {4, 7}}) {
                    returns.load(first, last, n, got);
                    for (std::int64_t i = first; i < last; ++i)
                        for (std::int64_t j = 0; j < n; ++j) {
                            const std::int64_t r = row_pos[static_cast<std::size_t>(i)];
                            const std::int64_t c = col_pos[static_cast<std::size_t>(j)];
                            const double want = r < 0 || c < 0 || r + 2 >= rows
                                                    ? kNaN
                                                    : view.value(r + 2, c) / view.value(r + 1, c) - 1.0;
                            const double cell = got[static_cast<std::size_t>((i - first) * n + j)];
                            if (std::isnan(want))
                                EXPECT_TRUE(std::isnan(cell)) << i << "," << j;
                            else
                                EXPECT_EQ(cell, want) << i << "," << j;
                        }
                }
            }
}

TEST(GroupEngine, RankIcByIndustryMatchesSpearmanWithinEachIndustryWithHeavyTies) {
    // Factor values and forward returns from a few levels each, so that ties run across and
    // within industries; stocks in no industry, without a valid close or without a return;
    // both directions of the sort (ties in either order) and both roads of the returns' ranks
    // (rank values counted, raw returns sorted). The model ranks each industry's pairs by
    // counting and takes their Pearson correlation in long double.
    constexpr std::int64_t kRows = 30, kCols = 240;
    std::mt19937_64 rng(23);
    std::uniform_int_distribution<int> level(-3, 3), industry(1, 7), ret(-4, 4);
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    FlatMarket m(kRows, kCols);
    std::vector<double> codes(m.factor.size(), kNaN), raw(m.factor.size(), kNaN);
    for (std::int64_t r = 0; r < kRows; ++r) {
        for (std::int64_t j = 0; j < kCols; ++j) {
            const auto k = static_cast<std::size_t>(r * kCols + j);
            m.factor[k] = coin(rng) < 0.1 ? kNaN : 0.5 * level(rng);
            m.valid[k] = coin(rng) < 0.05 ? kNaN : 1.0;
            codes[k] = coin(rng) < 0.1 ? kNaN : industry(rng);
            raw[k] = coin(rng) < 0.1 ? kNaN : 0.013 * ret(rng) - 0.002;
        }
        // The rank-valued table: average ranks of the date's returns among those it has.
        for (std::int64_t j = 0; j < kCols; ++j) {
            const double x = raw[static_cast<std::size_t>(r * kCols + j)];
            if (std::isnan(x)) continue;
            double below = 0.0, equal = 0.0;
            for (std::int64_t t = 0; t < kCols; ++t) {
                const double y = raw[static_cast<std::size_t>(r * kCols + t)];
                below += y < x ? 1.0 : 0.0;
                equal += y == x ? 1.0 : 0.0;
            }
            m.forward[static_cast<std::size_t>(r * kCols + j)] = below + (equal + 1.0) / 2.0;
        }
    }
    // Average ranks by counting, within one industry's pairs.
    auto ranks_of = [](const std::vector<double>& v) {
        std::vector<long double> out;
        for (const double x : v) {
            long double below = 0, equal = 0;
            for (const double y : v) {
                below += y < x ? 1 : 0;
                equal += y == x ? 1 : 0;
            }
            out.push_back(below + (equal + 1) / 2);
        }
        return out;
    };
    const AlignedMatrix industry_table = m.table(codes), raw_table = m.table(raw), rank_table = m.table(m.forward);
    for (const bool ascending : {false, true}) {
        for (const AlignedMatrix* forward : {&rank_table, &raw_table}) {
            GroupInputs in;
            in.factor = m.table(m.factor);
            in.valid = m.table(m.valid);
            in.market = &m.market;
            in.forward_source = ForwardSource::Table;
            in.forward = forward;
            in.analysis = true;
            in.industry = &industry_table;
            in.group_num = 4;
            in.ascending = ascending;
            in.trade = false;
            const GroupOutputs out = run_group_backtest(in);
            std::size_t figures = 0;
            for (std::int64_t r = 0; r < kRows; ++r) {
                std::map<double, std::pair<std::vector<double>, std::vector<double>>> pairs;
                for (std::int64_t j = 0; j < kCols; ++j) {
                    const auto k = static_cast<std::size_t>(r * kCols + j);
                    if (std::isnan(m.factor[k]) || std::isnan(m.valid[k]) || std::isnan(raw[k])) continue;
                    if (std::isnan(codes[k])) continue;
                    pairs[codes[k]].first.push_back(m.factor[k]);
                    pairs[codes[k]].second.push_back(raw[k]);
                }
                const std::vector<IndustryIc>& got = out.dates.industry[static_cast<std::size_t>(r)];
                ASSERT_EQ(got.size(), pairs.size()) << r;
                for (const IndustryIc& one : got) {
                    ASSERT_TRUE(pairs.count(one.code)) << r;
                    const auto& [f, y] = pairs[one.code];
                    ASSERT_EQ(one.stocks, static_cast<std::int32_t>(f.size()));
                    const std::vector<long double> a = ranks_of(f), b = ranks_of(y);
                    const auto n = static_cast<long double>(a.size());
                    long double mean = (n + 1) / 2, ab = 0, aa = 0, bb = 0;
                    for (std::size_t i = 0; i < a.size(); ++i) {
                        ab += (a[i] - mean) * (b[i] - mean);
                        aa += (a[i] - mean) * (a[i] - mean);
                        bb += (b[i] - mean) * (b[i] - mean);
                    }
                    if (a.size() < 2 || aa == 0 || bb == 0) {
                        EXPECT_TRUE(std::isnan(one.rank_ic)) << r << " " << one.code;
                        continue;
                    }
                    EXPECT_NEAR(one.rank_ic, static_cast<double>(ab / std::sqrt(aa * bb)), 1e-12)
                        << r << " " << one.code << " ascending " << ascending;
                    ++figures;
                }
            }
            EXPECT_GT(figures, static_cast<std::size_t>(kRows * 5));  // most dates' industries have a figure
        }
    }
}
