#pragma once
// Read-only views of date x stock tables living in someone else's memory (numpy buffers
// handed over by the binding layer), and label alignment by position maps.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace lumora {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

enum class CellKind : std::uint8_t { Float64, Bool };

// A strided 2-D table. Strides are in bytes, so row-major, column-major and sliced
// numpy arrays are all read in place.
struct MatrixView {
    const std::byte* data = nullptr;
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    CellKind kind = CellKind::Float64;

    // The cell as a number: booleans read as 1.0 / 0.0.
    double value(std::int64_t r, std::int64_t c) const {
        const std::byte* p = data + r * row_stride + c * col_stride;
        if (kind == CellKind::Bool) return *reinterpret_cast<const bool*>(p) ? 1.0 : 0.0;
        return *reinterpret_cast<const double*>(p);
    }

    static MatrixView dense(const double* values, std::int64_t rows, std::int64_t cols) {
        return MatrixView{reinterpret_cast<const std::byte*>(values),
                          rows,
                          cols,
                          static_cast<std::ptrdiff_t>(cols * sizeof(double)),
                          static_cast<std::ptrdiff_t>(sizeof(double)),
                          CellKind::Float64};
    }
};

// A trading flag's cell: missing (NaN, as an absent label reads) means `missing`, any other
// non-zero value true.
inline bool trading_flag(double v, bool missing) { return std::isnan(v) ? missing : v != 0.0; }

// A table seen through the rows and columns another table asks for: entry (i, j) is the
// table's cell at (row_pos[i], col_pos[j]); a position of -1 means the label is absent.
struct AlignedMatrix {
    MatrixView view;
    std::vector<std::int64_t> row_pos;
    std::vector<std::int64_t> col_pos;

    std::int64_t rows() const { return static_cast<std::int64_t>(row_pos.size()); }
    std::int64_t cols() const { return static_cast<std::int64_t>(col_pos.size()); }

    // NaN where the label is absent.
    double value(std::int64_t i, std::int64_t j) const {
        const std::int64_t r = row_pos[static_cast<std::size_t>(i)];
        const std::int64_t c = col_pos[static_cast<std::size_t>(j)];
        if (r < 0 || c < 0) return kNaN;
        return view.value(r, c);
    }

    // Hints the cache that cell (i, j) is about to be read.
    void prefetch(std::int64_t i, std::int64_t j) const {
        const std::int64_t r = row_pos[static_cast<std::size_t>(i)];
        const std::int64_t c = col_pos[static_cast<std::size_t>(j)];
        if (r >= 0 && c >= 0) __builtin_prefetch(view.data + r * view.row_stride + c * view.col_stride);
    }

    // A trading flag (see trading_flag).
    bool flag(std::int64_t i, std::int64_t j, bool missing) const { return trading_flag(value(i, j), missing); }
};

// Missing trading flags: a stock whose state is unknown is neither bought nor sold.
inline constexpr bool kMissingCanBuy = false;
inline constexpr bool kMissingCantSell = true;

// The aligned cells, dense and row-major: numbers (NaN where a label is absent), or trading
// flags (`missing` where a label is absent or the cell is NaN).
inline void copy_values(const AlignedMatrix& m, double* out) {
    for (std::int64_t i = 0; i < m.rows(); ++i)
        for (std::int64_t j = 0; j < m.cols(); ++j) *out++ = m.value(i, j);
}

inline void copy_flags(const AlignedMatrix& m, bool missing, bool* out) {
    for (std::int64_t i = 0; i < m.rows(); ++i)
        for (std::int64_t j = 0; j < m.cols(); ++j) *out++ = m.flag(i, j, missing);
}

}  // namespace lumora
