#include "prepare/ex_rights.hpp"

#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "lumora/ex_rights.hpp"
#include "prepare/table_checks.hpp"

namespace lumora::prepare {

namespace py = pybind11;

namespace {

using Table = py::array_t<double, py::array::c_style | py::array::forcecast>;

MatrixView view_of(const Table& a, const char* name) {
    if (a.ndim() != 2) throw py::value_error(std::string(name) + " must be a date x stock table");
    return MatrixView::dense(a.data(), a.shape(0), a.shape(1));
}

void require_same_shape(const Table& a, const Table& b, const char* name, const char* other) {
    require_shape(a, name, b.shape(0), b.shape(1), other);
}

Table factors_from_pre_close(const Table& previous_close, const Table& pre_close) {
    const MatrixView last = view_of(previous_close, "previous_close");
    const MatrixView reference = view_of(pre_close, "pre_close");
    require_same_shape(pre_close, previous_close, "pre_close", "previous_close");
    Table out({last.rows, last.cols});
    double* cells = out.mutable_data();
    {
        // No Python inside: reads the two argument arrays (held by this frame) and writes
        // only the new one.
        py::gil_scoped_release release;
        ex_rights::factors_from_pre_close(last, reference, cells);
    }
    return out;
}

py::tuple outside_limit_band(const Table& close, const Table& limit_up, const Table& limit_down) {
    const MatrixView closes = view_of(close, "close");
    const MatrixView up = view_of(limit_up, "limit_up"), down = view_of(limit_down, "limit_down");
    require_same_shape(limit_up, close, "limit_up", "close");
    require_same_shape(limit_down, close, "limit_down", "close");
    std::vector<ex_rights::Cell> found;
    {
        // No Python inside: reads the three argument arrays, held by this frame.
        py::gil_scoped_release release;
        found = ex_rights::outside_limit_band(closes, up, down);
    }
    const auto count = static_cast<py::ssize_t>(found.size());
    py::array_t<std::int64_t> rows(count), cols(count);
    auto* row_out = rows.mutable_data();
    auto* col_out = cols.mutable_data();
    for (py::ssize_t k = 0; k < count; ++k) {
        row_out[k] = found[static_cast<std::size_t>(k)].row;
        col_out[k] = found[static_cast<std::size_t>(k)].col;
    }
    return py::make_tuple(rows, cols);
}

}  // namespace

void add_ex_rights(py::module_& m) {
    m.def("ex_rights_from_pre_close", &factors_from_pre_close, py::arg("previous_close"), py::arg("pre_close"),
          "Each cell's adjustment of a date x stock block from the exchange's ex-rights previous close:\n"
          "previous_close / pre_close where the two differ by at least a cent (rounded half up), NaN\n"
          "elsewhere; a holder's shares times it are worth what they were the day before.");
    m.def("outside_limit_band", &outside_limit_band, py::arg("close"), py::arg("limit_up"), py::arg("limit_down"),
          "(rows, cols) of the cells whose close, in whole cents rounded half up, lies above limit_up or\n"
          "below limit_down; cells without a close or a limit are skipped.");
}

}  // namespace lumora::prepare
