// The twelve prepared matrices derived from the source tables. pandas decides the labels
// of every result (the outer join a label-aligned operation would use) and where each
// input's cells sit under them; the cells are computed natively, with the GIL released.

#include <pybind11/numpy.h>

#include "common/frame_bridge.hpp"
#include "lumora/dataset_catalogue.hpp"
#include "lumora/prepared_derivation.hpp"
#include "prepare/builder.hpp"

namespace lumora::prepare {

namespace derive = lumora::prepared;
namespace cat = lumora::catalogue;

namespace {

// Results row-major, the store's layout: written without a copy to reorder them.
using FloatCells = py::array_t<double, py::array::c_style>;
using FlagCells = py::array_t<bool, py::array::c_style>;

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

bridge::AlignedTable aligned(py::handle table, const Axes& axes, const char* name,
                             bridge::Cells cells = bridge::Cells::Numbers) {
    return bridge::aligned_table(table, axes.rows, axes.cols, name, cells);
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
py::object unary(py::handle table, const char* name, bridge::Cells read_as, Kernel&& kernel) {
    const bridge::TableArray values = bridge::table_values(table, name, read_as);
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
py::object adjustment(py::handle source, const char* name, py::handle validity, py::handle close, const char* bound,
                      const char* op, Kernel&& kernel) {
    Axes axes = union_axes(source, validity);
    axes.rows = rows_against(axes.rows, close_bound(close, bound), op);
    const bridge::AlignedTable src = aligned(source, axes, name);
    const bridge::AlignedTable valid = aligned(validity, axes, "close_price_valid", bridge::Cells::Flags);
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
    const bridge::AlignedTable p = aligned(price, axes, "price");
    const bridge::AlignedTable l = aligned(limit, axes, "limit");
    const bridge::AlignedTable s = aligned(suspended, axes, "rq_is_suspended", bridge::Cells::Flags);
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
    // One value seen in every cell (a read-only view with zero strides): the placeholder of
    // an optional factor is only read, and a whole table of it would be a table's worth of
    // fresh memory written for nothing.
    py::module_ numpy = py::module_::import("numpy");
    py::object value = numpy.attr("full")(py::tuple(), fill_value);
    py::object cells = numpy.attr("broadcast_to")(value, py::make_tuple(py::len(index), py::len(columns)));
    return bridge::frame(cells, index, columns);
}

py::object component_mask(py::handle matrix, bool shared_when_empty) {
    if (shared_when_empty) {
        const bridge::TableArray values = bridge::table_values(matrix, "membership", bridge::Cells::Flags);
        bool members = false;
        {
            // No Python inside: only reads the table's numpy buffer, held by `values`.
            py::gil_scoped_release release;
            members = derive::any_member(values.view);
        }
        // An index without a member on any day (one the files leave out) has a mask of NaN
        // in every cell: one NaN seen in every cell, as the placeholder of an optional
        // factor, instead of a whole table of it written only to be stored.
        if (!members) return empty_like(matrix, py::float_(kNaN));
    }
    return unary(matrix, "membership", bridge::Cells::Flags, derive::membership_mask);
}

py::dict build_from_matrices(py::handle /*self*/, py::handle given, bool release, py::handle sink) {
    // With `release` the source tables leave `given` as they are taken; otherwise `given` is
    // left as it is. Each table is emitted as soon as nothing later reads it and its last
    // reference here is dropped, so with a sink (and `release`) a full build holds the
    // remaining source tables and one or two derived ones, never every table at once.
    py::dict source = release ? py::reinterpret_borrow<py::dict>(given)
                              : py::dict(py::module_::import("builtins").attr("dict")(given));
    for (std::string_view name : cat::kRequiredFactorNames)
        if (!source.contains(py::str(name.data(), name.size()))) throw py::key_error(std::string(name));
    for (std::string_view name : cat::kOptionalFactorNames)
        if (!source.contains(py::str(name.data(), name.size()))) throw py::key_error(std::string(name));
    auto take = [&source](const char* name) { return source.attr("pop")(name); };
    Emitter emit(sink);
    auto emit_as = [&emit](const char* key, py::object& table) { emit(py::str(key), std::move(table)); };

    {
        py::object suspended = take("rq_is_suspended");
        py::object price = take("tick_vwap_price_925_1000");
        py::object flags = tradability(price, take("limit_down"), suspended, derive::FlagSense::Blocked);
        emit_as("cant_sell_stock", flags);
        emit_as("sell_price", price);
        price = take("tick_vwap_price_935_1005");
        flags = tradability(price, take("limit_up"), suspended, derive::FlagSense::Allowed);
        emit_as("can_buy_stock", flags);
        emit_as("buy_price", price);
    }
    py::object close = take("Close");
    {
        py::object validity = unary(close, "Close", bridge::Cells::Numbers, derive::close_validity);
        py::object factor = adjustment(take("split_coefficient_to"), "split_coefficient_to", validity, close, "min",
                                       "__ge__", derive::split_factor);
        emit_as("rq_get_split", factor);
        factor = adjustment(take("rq_get_dividend"), "rq_get_dividend", validity, close, "max", "__le__",
                            derive::dividend_factor);
        emit_as("rq_get_dividend", factor);
        emit_as("close_price_valid", validity);
    }
    py::object previous = unary(close, "Close", bridge::Cells::Numbers, derive::previous_row);
    emit_as("prev_close", previous);
    emit_as("close_price", close);
    {
        py::object open = take("Open");
        py::object ranks = unary(open, "Open", bridge::Cells::Numbers, derive::forward_open_rank);
        emit_as("forward_return_rank_cache", ranks);
        emit_as("open_price", open);
    }
    py::object industry = take("rq_industry_exposure_new");
    emit_as("industry_matrix", industry);

    if (emit.streaming()) return emit.kept;
    py::dict out;  // the store's order of the twelve tables
    for (const auto& [key, dtype] : cat::kBaseMatrixDtype) {
        py::str name(key.data(), key.size());
        out[name] = emit.kept[name];
    }
    return out;
}

}  // namespace lumora::prepare
