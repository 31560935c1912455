#pragma once
// Cutting date-labelled rows to an inclusive window. Labels and bounds are YYYYMMDD text
// compared as text, which is date order for that form; rows need not be sorted.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumora {

struct RowSelection {
    std::vector<std::int64_t> positions;  // rows inside the window, in row order
    // True when the positions form one run [begin, end), so the cut can be a slice that
    // shares the table's memory instead of a gathered copy.
    bool contiguous = true;
    std::int64_t begin = 0;
    std::int64_t end = 0;
};

// Rows whose label lies in [start, end] (both included); a start after the end selects
// nothing.
RowSelection select_window(const std::vector<std::string>& labels, std::string_view start, std::string_view end);

// The month of each date label as the number YYYYMM, read from its first six digits (any
// separators skipped); 0 for a label with fewer digits.
std::vector<std::int32_t> month_keys(const std::vector<std::string>& labels);

}  // namespace lumora
