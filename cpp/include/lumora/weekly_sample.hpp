#pragma once
// Week-ending-Friday sampling of daily series (the weekly net value chart's frame).

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace lumora {

// Weeks that end on Friday: a trading day belongs to the week of the first Friday on or
// after it and the week is labelled with that Friday. Each column keeps its last finite
// value of the week (infinite values count as missing); weeks without any finite value in
// any column are left out, and so are rows whose time is NaT.
struct WeeklySample {
    std::vector<std::int64_t> friday_ns;  // midnight of the Friday, ns since the epoch
    std::array<std::vector<double>, 3> last;
};
inline constexpr std::int64_t kNaTNanoseconds = INT64_MIN;
WeeklySample last_per_week_to_friday(std::span<const std::int64_t> timestamps_ns,
                                     const std::array<std::span<const double>, 3>& columns);

}  // namespace lumora
