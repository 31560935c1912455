#pragma once
// Reading a block of an aligned table (a run of rows x a run of stocks) in the table's own
// memory order: a column-major table stock by stock, a row-major one date by date. The
// engines walk their tables a block at a time, so whatever layout a caller hands over is
// read along its memory rather than across it.

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "lumora/matrix_view.hpp"

namespace lumora {

inline bool column_major(const AlignedMatrix& m) { return std::abs(m.view.row_stride) < std::abs(m.view.col_stride); }

// Blocks are read in short runs (a column's dates in the block, or a row's stocks) far
// apart; the run kAhead runs on is asked of the cache meanwhile, as the hardware would not
// guess it.
inline constexpr std::int64_t kAhead = 4;
inline constexpr std::int64_t kCellsPerLine = 8;

// Calls fn(b, j) for rows first..last-1 (b = row - first) and stocks j0..j1-1, in the
// table's memory order.
template <class Fn>
void visit_block(const AlignedMatrix& layout, std::int64_t first, std::int64_t last, std::int64_t j0, std::int64_t j1,
                 Fn&& fn) {
    if (column_major(layout)) {
        for (std::int64_t j = j0; j < j1; ++j) {
            if (j + kAhead < j1)
                for (std::int64_t p = first; p < last; p += kCellsPerLine) layout.prefetch(p, j + kAhead);
            for (std::int64_t p = first; p < last; ++p) fn(p - first, j);
        }
    } else {
        for (std::int64_t p = first; p < last; ++p) {
            if (p + kAhead < last)
                for (std::int64_t j = j0; j < j1; j += kCellsPerLine) layout.prefetch(p + kAhead, j);
            for (std::int64_t j = j0; j < j1; ++j) fn(p - first, j);
        }
    }
}

// A block of a table read in place: cell (b, k) lies at origin + b * row + k * col.
struct StridedBlock {
    const std::byte* origin;
    std::ptrdiff_t row, col;
    CellKind kind;

    double at(std::int64_t b, std::int64_t k) const {
        const std::byte* p = origin + b * row + k * col;
        return kind == CellKind::Bool ? (*reinterpret_cast<const bool*>(p) ? 1.0 : 0.0)
                                      : *reinterpret_cast<const double*>(p);
    }

    // Row b of a block of whole float64 rows (see BlockCopier::float_rows).
    const double* row_at(std::int64_t b) const { return reinterpret_cast<const double*>(origin + b * row); }
};

// Copies a block of a table out as numbers (booleans as 1.0 / 0.0, NaN where a label is
// absent), reading the table in its own memory order: rows first..last-1 and stocks
// j0..j1-1 go to out[b * row_step + (j - j0) * col_step].
class BlockCopier {
public:
    void copy(const AlignedMatrix& table, std::int64_t first, std::int64_t last, std::int64_t j0, std::int64_t j1,
              double* out, std::ptrdiff_t row_step, std::ptrdiff_t col_step);

    // The block as a plain strided block, when all its rows and columns are present at even
    // steps (the usual case).
    std::optional<StridedBlock> strided(const AlignedMatrix& table, std::int64_t first, std::int64_t last,
                                        std::int64_t j0, std::int64_t j1);

    // The block as whole rows of float64 cells, one after another in each row (a row-major
    // float64 table with every label of the block present), to be read in place instead of
    // copied out; nullopt for any other layout.
    std::optional<StridedBlock> float_rows(const AlignedMatrix& table, std::int64_t first, std::int64_t last,
                                           std::int64_t j0, std::int64_t j1);

private:
    void locate(const AlignedMatrix& table, std::int64_t first, std::int64_t last, std::int64_t j0, std::int64_t j1);

    std::vector<std::ptrdiff_t> rows_, cols_;  // byte offsets of the block's rows and columns
};

}  // namespace lumora
