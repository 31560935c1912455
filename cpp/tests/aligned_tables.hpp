#pragma once
// Test tables: a dense row-major buffer seen with every row and column in place.

#include <cstdint>
#include <vector>

#include "lumora/matrix_view.hpp"

namespace lumora::test_tables {

inline AlignedMatrix identity_aligned(const std::vector<double>& values, std::int64_t rows, std::int64_t cols) {
    AlignedMatrix m;
    m.view = MatrixView::dense(values.data(), rows, cols);
    for (std::int64_t r = 0; r < rows; ++r) m.row_pos.push_back(r);
    for (std::int64_t c = 0; c < cols; ++c) m.col_pos.push_back(c);
    return m;
}

}  // namespace lumora::test_tables
