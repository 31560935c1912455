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

WeightScan scan_weights(const WeightTable& table) {
    WeightScan scan;
    scan.weighted_cols.assign(static_cast<std::size_t>(table.n_cols()), false);
    std::vector<double> gross(static_cast<std::size_t>(table.n_rows()), 0.0);
    table.for_each_cell([&](std::int64_t i, std::int64_t j, double v) {
        if (std::isnan(v)) return;
        scan.weighted_cols[static_cast<std::size_t>(j)] = true;
        if (oversized_weight(v)) {
            if (scan.bad_row < 0 || i < scan.bad_row || (i == scan.bad_row && j < scan.bad_col)) {
                scan.bad_row = i;
                scan.bad_col = j;
            }
            return;
        }
        gross[static_cast<std::size_t>(i)] += std::fabs(v);
    });
    for (std::size_t i = 0; i < gross.size(); ++i)
        if (gross[i] > scan.max_gross) {
            scan.max_gross = gross[i];
            scan.max_gross_row = static_cast<std::int64_t>(i);
        }
    return scan;
}

std::vector<bool> rows_with_weights(const WeightTable& table) {
    std::vector<bool> out(static_cast<std::size_t>(table.n_rows()), false);
    table.for_each_cell([&](std::int64_t i, std::int64_t, double v) {
        if (!std::isnan(v)) out[static_cast<std::size_t>(i)] = true;
    });
    return out;
}

WeightedRows weighted_rows(const std::vector<bool>& has_weight) {
    WeightedRows out;
    for (std::size_t i = 0; i < has_weight.size(); ++i) {
        if (!has_weight[i]) continue;
        if (out.first < 0) out.first = static_cast<std::int64_t>(i);
        out.last = static_cast<std::int64_t>(i);
    }
    for (std::int64_t i = out.first + 1; i < out.last; ++i)
        out.empty_between += has_weight[static_cast<std::size_t>(i)] ? 0 : 1;
    return out;
}

std::vector<std::int64_t> flagged_positions(std::span<const bool> flags) {
    std::vector<std::int64_t> out;
    for (std::size_t i = 0; i < flags.size(); ++i)
        if (flags[i]) out.push_back(static_cast<std::int64_t>(i));
    return out;
}

void keep_columns(WeightTable& table, const std::vector<bool>& weighted) {
    std::vector<std::int64_t> kept;
    for (std::size_t j = 0; j < weighted.size(); ++j)
        if (weighted[j]) kept.push_back(table.cols[j]);
    table.cols = std::move(kept);
}

namespace {

// The rolling mean of the table library, step for step, so that smoothed weights agree with
// it to the last bit (whole-lot rounding turns a last-bit difference into a lot): separate
// Kahan compensations for values entering and leaving the window, a window made of one
// repeated value averages to exactly that value, and the sign of the mean is clamped to
// the signs of the values.
struct WindowMean {
    double sum = 0.0;
    double add_compensation = 0.0;
    double remove_compensation = 0.0;
    std::int64_t count = 0;
    std::int64_t negative = 0;
    std::int64_t same_run = 0;
    double last = 0.0;
    bool started = false;

    void add(double v) {
        if (!started) {
            last = v;
            started = true;
        }
        ++count;
        kahan(v, add_compensation);
        negative += std::signbit(v);
        same_run = v == last ? same_run + 1 : 1;
        last = v;
    }
    void remove(double v) {
        --count;
        kahan(-v, remove_compensation);
        negative -= std::signbit(v);
    }
    double mean() const {
        const double result = sum / static_cast<double>(count);
        if (same_run >= count) return last;
        if (negative == 0 && result < 0.0) return 0.0;
        if (negative == count && result > 0.0) return 0.0;
        return result;
    }

private:
    void kahan(double v, double& compensation) {
        const double y = v - compensation;
        const double t = sum + y;
        compensation = t - sum - y;
        sum = t;
    }
};

}  // namespace

std::vector<double> smooth_weights(const WeightTable& table, std::int64_t window,
                                   std::vector<std::int64_t>& kept_rows) {
    kept_rows.clear();
    const std::int64_t nr = table.n_rows(), nc = table.n_cols();
    if (window < 1 || nr < window || nc == 0) return {};
    const std::int64_t out_rows = nr - window + 1;
    std::vector<double> out(static_cast<std::size_t>(out_rows * nc));
    std::vector<WindowMean> state(static_cast<std::size_t>(nc));
    auto weight = [&](std::int64_t i, std::int64_t j) {
        const double v = table.at(i, j);
        return std::isnan(v) ? 0.0 : v;
    };
    for (std::int64_t i = 0; i < nr; ++i) {
        double* row_out = i >= window - 1 ? &out[static_cast<std::size_t>((i - window + 1) * nc)] : nullptr;
        for (std::int64_t j = 0; j < nc; ++j) {
            WindowMean& w = state[static_cast<std::size_t>(j)];
            if (i >= window) w.remove(weight(i - window, j));
            w.add(weight(i, j));
            if (row_out != nullptr) {
                const double mean = w.mean();
                row_out[j] = mean == 0.0 ? kNaN : mean;
            }
        }
    }
    for (std::int64_t k = 0; k < out_rows; ++k) kept_rows.push_back(k + window - 1);
    return out;
}

}  // namespace lumora
