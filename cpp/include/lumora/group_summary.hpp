#pragma once
// The figures of a factor group backtest drawn from its outputs: the smoothed factor, the
// groups' net values, the best group and its figures per benchmark, the long-short spread,
// the Rank IC figures and the average group size.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lumora/group_engine.hpp"
#include "lumora/matrix_view.hpp"
#include "lumora/strategy_stats.hpp"

namespace lumora {

// The factor smoothed over `window` dates (infinities count as missing), dense; `kept`
// receives the rows kept.
std::vector<double> smoothed_factor(const AlignedMatrix& m, std::int64_t window, std::vector<std::int64_t>& kept);

// The average number of stocks per group over the dates that were ranked; NaN when none was.
double average_group_size(const GroupOutputs& out);

// Daily returns and net values (traded rows x groups, row-major) of the groups on `rows`.
void group_net_values(const GroupOutputs& out, const std::vector<std::int64_t>& rows, double* daily,
                      double* cumulative);

// The group (0-based) with the highest final net value of `cumulative` (`n_rows` x
// `groups`); -1 when none has one.
int best_group(const double* cumulative, std::int64_t n_rows, int groups);

// The rows on which any group traded.
std::vector<std::int64_t> traded_rows(const GroupOutputs& out);

// One group's returns on `rows`, NaN where the group did not trade.
std::vector<double> group_column(const GroupOutputs& out, const std::vector<std::int64_t>& rows, int g);

// The long-short portfolio: the top group's daily returns less the bottom group's.
std::vector<double> long_short_returns(std::span<const double> top, std::span<const double> bottom);

// The annualised mean of the finite values.
double annual_mean(const std::vector<double>& v);

// The Rank IC of the rows that have one, with those rows.
struct RankIcSeries {
    std::vector<std::int64_t> rows;
    std::vector<double> values;
};
RankIcSeries rank_ic_series(const GroupOutputs& out);

// An |IC| above this counts as a day on which the factor said something.
inline constexpr double kStrongIc = 0.02;

struct IcFigures {
    std::size_t days = 0;
    double mean;
    double sd;  // sample standard deviation
    double ir;  // mean / sd, NaN when sd is 0 or undefined
    double t_stat;
    double positive_share;
    double strong_share;  // share of days with |IC| > kStrongIc
};
IcFigures ic_figures(std::span<const double> ic);

// What the summary says of the best group (0-based `best`) and of the long-short spread
// on the traded `rows`, the same against every benchmark.
struct BestGroupFigures {
    std::vector<double> best_daily;
    double best_annual_return;
    double long_short_annual_return;
};
BestGroupFigures best_group_figures(const GroupOutputs& out, const std::vector<std::int64_t>& rows, int best);

// The best group's excess over a benchmark (its returns on the same rows) on the rows where
// both returns are finite; NaN figures when there is none.
ExcessSummary best_group_excess(const std::vector<double>& best_daily, const std::vector<double>& benchmark);

}  // namespace lumora
