#pragma once
// The figures of a factor group backtest drawn from its outputs: the smoothed factor, the
// groups' net values, the best group, the Rank IC mean and IR and the average group size.

#include <cstdint>
#include <vector>

#include "lumora/group_engine.hpp"
#include "lumora/matrix_view.hpp"

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

// One group's returns on `rows`, NaN where the group did not trade.
std::vector<double> group_column(const GroupOutputs& out, const std::vector<std::int64_t>& rows, int g);

// The annualised mean of the finite values.
double annual_mean(const std::vector<double>& v);

struct RankIcFigures {
    double mean;
    double ir;  // mean over the sample standard deviation; NaN without spread
};

RankIcFigures rank_ic_figures(const std::vector<double>& ic);

}  // namespace lumora
