// The twelve prepared matrices derived from the source tables. pandas decides the labels
// of every result (the outer join a label-aligned operation would use) and where each
// input's cells sit under them; the cells are computed natively, with the GIL released.

#include <pybind11/numpy.h>

#include "common/frame_bridge.hpp"
#include "lumora/prepared_derivation.hpp"
#include "prepare/builder.hpp"

namespace lumora::prepare {

namespace derive = lumora::prepared;

namespace {

using FloatCells = py::array_t<double, py::array::f_style>;
using FlagCells = py::array_t<bool, py::array::f_style>;

struct Axes {
    py::object rows;
    py::object cols;
};

Axes axes_of(py::handle table) { return {table.attr("index"), table.attr("columns")}; }

// The labels pandas aligns two operands to: the left ones when equal, else the outer join.
py::object outer_join(py::handle left, py::handle right) {
    if (py::bool_(left.attr("equals")(right))) return py::reinterpret_borrow<py::object>(left);
    return left.attr("join")(right, py::arg("how") = "outer");
}

Axes union_axes(py::handle left, py::handle right) {
    return {outer_join(left.attr("index"), right.attr("index")),
            outer_join(left.attr("columns"), right.attr("columns"))};
}

py::ssize_t length(py::handle labels) { return static_cast<py::ssize_t>(py::len(labels)); }

py::object frame_of(py::handle cells, const Axes& axes) { return bridge::frame(cells, axes.rows, axes.cols); }

bridge::AlignedTable aligned(py::handle table, const Axes& axes) {
    return bridge::aligned_table(table, axes.rows, axes.cols);
}

// Keeps the rows whose date compares `op` to the bound (both text); none without a bound.
py::object rows_against(py::handle rows, py::handle bound, const char* op) {
    if (bound.is_none()) return rows.attr("__getitem__")(py::slice(0, 0, 1));
    return rows.attr("__getitem__")(rows.attr(op)(bound));
}

// The first and last close dates; None for a close table without rows (a required factor
// the SDK gave nothing for), which leaves the adjustment tables without rows.
py::object close_bound(py::handle close, const char* which) {
    py::object index = close.attr("index");
    if (py::len(index) == 0) return py::none();
    return index.attr(which)();
}

template <class Kernel>
py::object unary(py::handle table, Kernel&& kernel) {
    const bridge::TableArray values = bridge::table_values(table);
    const Axes axes = axes_of(table);
    FloatCells cells({values.view.rows, values.view.cols});
    double* out = cells.mutable_data();
    {
        // No Python inside: reads the table's numpy buffer (held by `values`) and writes only the new array `cells`.
        py::gil_scoped_release release;
        kernel(values.view, out);
    }
    return frame_of(cells, axes);
}

template <class Kernel>
py::object adjustment(py::handle source, py::handle validity, py::handle close, const char* bound, const char* op,
                      Kernel&& kernel) {
    Axes axes = union_axes(source, validity);
    axes.rows = rows_against(axes.rows, close_bound(close, bound), op);
    const bridge::AlignedTable src = aligned(source, axes);
    const bridge::AlignedTable valid = aligned(validity, axes);
    FloatCells cells({length(axes.rows), length(axes.cols)});
    double* out = cells.mutable_data();
    {
        // No Python inside: reads numpy buffers held by `src`/`valid` and writes only the new array `cells`.
        py::gil_scoped_release release;
        kernel(src.matrix, valid.matrix, out);
    }
    return frame_of(cells, axes);
}

py::object tradability(py::handle price, py::handle limit, py::handle suspended, derive::FlagSense sense) {
    const Axes axes = union_axes(price, suspended);
    const bridge::AlignedTable p = aligned(price, axes);
    const bridge::AlignedTable l = aligned(limit, axes);
    const bridge::AlignedTable s = aligned(suspended, axes);
    FlagCells cells({length(axes.rows), length(axes.cols)});
    bool* out = cells.mutable_data();
    {
        // No Python inside: reads numpy buffers held by `p`, `l`, `s` and writes only the new array `cells`.
        py::gil_scoped_release release;
        derive::tradability_flags(p.matrix, l.matrix, s.matrix, sense, out);
    }
    return frame_of(cells, axes);
}

}  // namespace

py::object empty_like(py::handle reference, py::handle fill_value) {
    py::object index = reference.attr("index");
    py::object columns = reference.attr("columns");
    py::object cells = py::module_::import("numpy").attr("full")(py::make_tuple(py::len(index), py::len(columns)),
                                                                 fill_value, py::arg("order") = "F");
    return bridge::frame(cells, index, columns);
}

py::object component_mask(py::handle matrix) { return unary(matrix, derive::membership_mask); }

py::dict build_from_matrices(py::handle /*self*/, py::handle given, bool release) {
    // With `release` the tables only the derivation needs leave `given` as soon as their
    // derived tables exist, so a full build does not hold every source table beside every
    // derived one; otherwise `given` is left as it is.
    py::dict source = release ? py::reinterpret_borrow<py::dict>(given)
                              : py::dict(py::module_::import("builtins").attr("dict")(given));
    py::object close = source["Close"];
    py::object open = source["Open"];
    py::object buy = source["tick_vwap_price_935_1005"];
    py::object sell = source["tick_vwap_price_925_1000"];
    auto take = [&source](const char* name) { return source.attr("pop")(name); };

    py::object cant_sell;
    py::object can_buy;
    {
        py::object suspended = take("rq_is_suspended");
        cant_sell = tradability(sell, take("limit_down"), suspended, derive::FlagSense::Blocked);
        can_buy = tradability(buy, take("limit_up"), suspended, derive::FlagSense::Allowed);
    }
    py::object validity = unary(close, derive::close_validity);
    py::object split = adjustment(take("split_coefficient_to"), validity, close, "min", "__ge__", derive::split_factor);
    py::object dividend =
        adjustment(take("rq_get_dividend"), validity, close, "max", "__le__", derive::dividend_factor);

    py::dict out;
    out["industry_matrix"] = source["rq_industry_exposure_new"];
    out["close_price"] = close;
    out["open_price"] = open;
    out["close_price_valid"] = validity;
    out["prev_close"] = unary(close, derive::previous_row);
    out["buy_price"] = buy;
    out["sell_price"] = sell;
    out["rq_get_split"] = split;
    out["rq_get_dividend"] = dividend;
    out["can_buy_stock"] = can_buy;
    out["cant_sell_stock"] = cant_sell;
    out["forward_return_rank_cache"] = unary(open, derive::forward_open_rank);
    return out;
}

}  // namespace lumora::prepare
