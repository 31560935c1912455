#pragma once
// Cutting date-labelled rows to an inclusive window. Labels and bounds are YYYYMMDD text
// compared as text, which is date order for that form; rows need not be sorted.

#include <cstddef>
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

// The window an incremental update writes, over the stored dates (in stored order): from
// the first stored date within [start, end], or from `start` when none is (new days are
// appended). One stored date before it (the last one before it, in stored order) is read
// again, so that the previous close of the first written day comes from the source.
struct WriteWindow {
    std::string write_start;
    std::string read_start;
};
WriteWindow incremental_write_window(const std::vector<std::string>& stored, const std::string& start,
                                     const std::string& end);

// The first stored date a tail update writes again. Each stored index (ascending) gives its
// last `reload` dates, and where the source changed rows from `rewrite_from` (empty: only
// new days), its `reload` dates before the first one on or after it: a table whose rows
// look ahead (a day's forward return reads the next two rows of opens) holds stale rows
// that far back. Indexes may skip different days (opens skip a day on which nothing
// traded, closes do not), so each is counted in its own rows; the earliest date wins. Empty
// when every index is empty.
std::string tail_write_start(const std::vector<std::vector<std::string>>& indexes, std::size_t reload,
                             const std::string& rewrite_from);

// The month of each date label as the number YYYYMM, read from its first six digits (any
// separators skipped); 0 for a label with fewer digits.
std::vector<std::int32_t> month_keys(const std::vector<std::string>& labels);

}  // namespace lumora
