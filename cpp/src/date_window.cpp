#include "lumora/date_window.hpp"

#include <algorithm>

namespace lumora {

RowSelection select_window(const std::vector<std::string>& labels, std::string_view start, std::string_view end) {
    RowSelection sel;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const std::string_view label = labels[i];
        if (label >= start && label <= end) sel.positions.push_back(static_cast<std::int64_t>(i));
    }
    if (sel.positions.empty()) return sel;
    sel.begin = sel.positions.front();
    sel.end = sel.positions.back() + 1;
    sel.contiguous = sel.end - sel.begin == static_cast<std::int64_t>(sel.positions.size());
    return sel;
}

WriteWindow incremental_write_window(const std::vector<std::string>& stored, const std::string& start,
                                     const std::string& end) {
    WriteWindow w{start, ""};
    for (const std::string& date : stored) {
        if (start <= date && date <= end) {
            w.write_start = date;
            break;
        }
    }
    w.read_start = w.write_start;
    for (const std::string& date : stored)
        if (date < w.write_start) w.read_start = date;
    return w;
}

std::string tail_write_start(const std::vector<std::vector<std::string>>& indexes, std::size_t reload,
                             const std::string& rewrite_from) {
    std::string earliest;
    for (const std::vector<std::string>& dates : indexes) {
        if (dates.empty()) continue;
        std::size_t from = dates.size();
        if (!rewrite_from.empty())
            from = static_cast<std::size_t>(std::lower_bound(dates.begin(), dates.end(), rewrite_from) - dates.begin());
        const std::string& start = dates[from > reload ? from - reload : 0];
        if (earliest.empty() || start < earliest) earliest = start;
    }
    return earliest;
}

std::vector<std::int32_t> month_keys(const std::vector<std::string>& labels) {
    std::vector<std::int32_t> out;
    out.reserve(labels.size());
    for (const std::string& label : labels) {
        std::int32_t key = 0;
        int digits = 0;
        for (const char c : label) {
            if (c < '0' || c > '9') continue;
            key = key * 10 + (c - '0');
            if (++digits == 6) break;
        }
        out.push_back(digits == 6 ? key : 0);
    }
    return out;
}

}  // namespace lumora
