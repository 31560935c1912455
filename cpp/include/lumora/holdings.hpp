#pragma once
// What a strategy held, from the positions the engine recorded: per trade day the number of
// holdings, their concentration and exposure, the largest positions over the run, and the
// share of the held value in each industry.
//
// A holding's weight is its value at the day's close over the capital the engine trades
// (the fixed capital re-sized to every day, so weights are shares of the capital at work);
// concentration (top-10 share, Herfindahl index) and industry shares are taken over the
// value held that day.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lumora/matrix_view.hpp"

namespace lumora {

inline constexpr std::size_t kTopHoldings = 10;

// Positions held after each trade day: day d holds stocks[offsets[d]..offsets[d + 1]) worth
// values[...] at that day's close.
struct HeldPositions {
    std::span<const std::int64_t> offsets;
    std::span<const std::int32_t> stocks;
    std::span<const double> values;
    double capital;
    // Industry code of (trade day, stock number); NaN or no table at all: unclassified.
    const AlignedMatrix* industry = nullptr;

    std::size_t n_days() const { return offsets.empty() ? 0 : offsets.size() - 1; }
};

struct HoldingsFigures {
    // Per trade day.
    std::vector<std::int64_t> holdings_count;
    std::vector<double> top10_share;     // the ten largest values over the value held
    std::vector<double> herfindahl;      // sum of the squared shares of the value held
    std::vector<double> gross_exposure;  // value held over the capital
    // The largest positions by mean weight over all trade days (0 on a day not held),
    // largest first.
    std::vector<std::int32_t> top_stocks;
    std::vector<double> mean_weight, max_weight;
    std::vector<std::int64_t> days_held;
    // Industry codes in ascending order, NaN (unclassified) last if any value has no code,
    // and per trade day the share of the value held in each (days x industries, by row).
    std::vector<double> industries;
    std::vector<double> industry_share;
};

HoldingsFigures holdings_figures(const HeldPositions& held);

}  // namespace lumora
