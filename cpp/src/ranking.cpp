#include "lumora/ranking.hpp"

#include "lumora/matrix_view.hpp"
#include "lumora/strategy_stats.hpp"

namespace lumora {

void average_ranks_in_order(const std::vector<double>& values, const std::vector<std::uint32_t>& order,
                            std::vector<double>& ranks) {
    ranks.assign(values.size(), kNaN);
    std::size_t start = 0;
    while (start < order.size()) {
        std::size_t end = start + 1;
        while (end < order.size() &&
               values[static_cast<std::size_t>(order[end])] == values[static_cast<std::size_t>(order[start])])
            ++end;
        const double rank = (static_cast<double>(start + 1) + static_cast<double>(end)) / 2.0;
        for (std::size_t k = start; k < end; ++k) ranks[static_cast<std::size_t>(order[k])] = rank;
        start = end;
    }
}

void average_ranks_ascending(const std::vector<double>& sorted, std::vector<double>& ranks) {
    const std::size_t n = sorted.size();
    ranks.resize(n);
    for (std::size_t start = 0; start < n;) {
        std::size_t end = start + 1;
        while (end < n && sorted[end] == sorted[start]) ++end;
        const double rank = (static_cast<double>(start + 1) + static_cast<double>(end)) / 2.0;
        for (std::size_t k = start; k < end; ++k) ranks[k] = rank;
        start = end;
    }
}

void average_ranks(const double* values, std::size_t n, std::vector<double>& ranks, RadixScratch& scratch) {
    radix_sort_items(values, n, scratch);
    const RadixScratch::Item* item = scratch.a.data();
    ranks.resize(n);
    // Keys with different high halves differ, so only runs sharing one read the values.
    for (std::size_t start = 0; start < n;) {
        std::size_t end = start + 1;
        while (end < n && item[end].high == item[start].high && values[item[end].index] == values[item[start].index])
            ++end;
        const double rank = (static_cast<double>(start + 1) + static_cast<double>(end)) / 2.0;
        for (std::size_t k = start; k < end; ++k) ranks[item[k].index] = rank;
        start = end;
    }
}

double spearman(const std::vector<double>& a, const std::vector<double>& b, SpearmanScratch& s) {
    if (a.size() < 2 || a.size() != b.size()) return kNaN;
    average_ranks(a.data(), a.size(), s.rank_a, s.radix);
    average_ranks(b.data(), b.size(), s.rank_b, s.radix);
    return pearson(s.rank_a.data(), s.rank_b.data(), a.size());
}

}  // namespace lumora
