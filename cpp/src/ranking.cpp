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

double spearman(const std::vector<double>& a, const std::vector<double>& b, SpearmanScratch& s) {
    if (a.size() < 2 || a.size() != b.size()) return kNaN;
    radix_argsort(a.data(), a.size(), s.order, s.radix);
    average_ranks_in_order(a, s.order, s.rank_a);
    radix_argsort(b.data(), b.size(), s.order, s.radix);
    average_ranks_in_order(b, s.order, s.rank_b);
    return pearson(s.rank_a.data(), s.rank_b.data(), a.size());
}

}  // namespace lumora
