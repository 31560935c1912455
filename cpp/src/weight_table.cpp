#include "lumora/weight_table.hpp"

#include <cmath>

namespace lumora {

WeightTable WeightTable::whole(const MatrixView& view) {
    WeightTable t;
    t.view = view;
    t.rows.resize(static_cast<std::size_t>(view.rows));
    t.cols.resize(static_cast<std::size_t>(view.cols));
    for (std::int64_t i = 0; i < view.rows; ++i) t.rows[static_cast<std::size_t>(i)] = i;
    for (std::int64_t j = 0; j < view.cols; ++j) t.cols[static_cast<std::size_t>(j)] = j;
    return t;
}

std::vector<bool> columns_with_weights(const WeightTable& table) {
    std::vector<bool> out(static_cast<std::size_t>(table.n_cols()), false);
    table.for_each_cell([&](std::int64_t, std::int64_t j, double v) {
        if (!std::isnan(v)) out[static_cast<std::size_t>(j)] = true;
    });
    return out;
}

std::vector<bool> rows_with_weights(const WeightTable& table) {
    std::vector<bool> out(static_cast<std::size_t>(table.n_rows()), false);
    table.for_each_cell([&](std::int64_t i, std::int64_t, double v) {
        if (!std::isnan(v)) out[static_cast<std::size_t>(i)] = true;
    });
    return out;
}

std::vector<double> smooth_weights(const WeightTable& table, std::int64_t window,
                                   std::vector<std::int64_t>& kept_rows) {
    kept_rows.clear();
    const std::int64_t nr = table.n_rows(), nc = table.n_cols();
    if (window < 1 || nr < window || nc == 0) return {};
    const std::int64_t out_rows = nr - window + 1;
    std::vector<double> out(static_cast<std::size_t>(out_rows * nc));
    const double w = static_cast<double>(window);
    // Running sums with a count of the non-zero weights inside each window, so a window
    // that holds no weight gives exactly zero rather than a rounding residue.
    std::vector<double> sum(static_cast<std::size_t>(nc), 0.0);
    std::vector<std::int64_t> nonzero(static_cast<std::size_t>(nc), 0);
    auto weight = [&](std::int64_t i, std::int64_t j) {
        const double v = table.at(i, j);
        return std::isnan(v) ? 0.0 : v;
    };
    for (std::int64_t i = 0; i < nr; ++i) {
        double* row_out = i >= window - 1 ? &out[static_cast<std::size_t>((i - window + 1) * nc)] : nullptr;
        for (std::int64_t j = 0; j < nc; ++j) {
            const auto s = static_cast<std::size_t>(j);
            const double v = weight(i, j);
            sum[s] += v;
            nonzero[s] += v != 0.0;
            if (i >= window) {
                const double old = weight(i - window, j);
                sum[s] -= old;
                nonzero[s] -= old != 0.0;
            }
            if (row_out != nullptr) {
                const double mean = nonzero[s] > 0 ? sum[s] / w : 0.0;
                row_out[j] = mean == 0.0 ? kNaN : mean;
            }
        }
    }
    for (std::int64_t k = 0; k < out_rows; ++k) kept_rows.push_back(k + window - 1);
    return out;
}

}  // namespace lumora
