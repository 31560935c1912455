#include "prepare/market_fills.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "lumora/market_fills.hpp"
#include "prepare/table_checks.hpp"

namespace lumora::prepare {

namespace py = pybind11;

namespace {

template <class T>
using Cells = py::array_t<T, py::array::c_style | py::array::forcecast>;

// Every input has the shape of the table written.
void require_shape_of(const py::array& a, const char* name, const py::array& table) {
    require_shape(a, name, table.shape(0), table.shape(1), "the table written");
}

const std::uint8_t* flags_of(const Cells<bool>& a) { return reinterpret_cast<const std::uint8_t*>(a.data()); }

void carry_closes(const py::array& close, const Cells<bool>& traded, const Cells<bool>& listed) {
    double* cells = writable_table(close, "close");
    require_shape_of(traded, "traded", close);
    require_shape_of(listed, "listed", close);
    // No Python inside: reads and writes only the argument arrays, held by the caller.
    py::gil_scoped_release release;
    market_fills::carry_closes(cells, flags_of(traded), flags_of(listed), close.shape(0), close.shape(1));
}

void fill_execution_prices(const py::array& price, const Cells<double>& fallback, const Cells<bool>& traded) {
    double* cells = writable_table(price, "price");
    require_shape_of(fallback, "fallback", price);
    require_shape_of(traded, "traded", price);
    // No Python inside: reads and writes only the argument arrays, held by the caller.
    py::gil_scoped_release release;
    market_fills::fill_execution_prices(cells, fallback.data(), flags_of(traded), price.size());
}

void lock_at_limit(const py::array& price, const Cells<double>& limit, const Cells<bool>& traded,
                   const std::optional<Cells<double>>& extreme, bool limit_up, double tolerance) {
    double* cells = writable_table(price, "price");
    require_shape_of(limit, "limit", price);
    require_shape_of(traded, "traded", price);
    if (extreme) require_shape_of(*extreme, "extreme", price);
    const double* extremes = extreme ? extreme->data() : nullptr;
    const double signed_tolerance = limit_up ? tolerance : -tolerance;
    // No Python inside: reads and writes only the argument arrays, held by the caller.
    py::gil_scoped_release release;
    market_fills::lock_at_limit(cells, limit.data(), flags_of(traded), extremes, limit_up, tolerance, signed_tolerance,
                                price.size());
}

void factor_ratios(const py::array& factor) {
    double* cells = writable_table(factor, "factor");
    // No Python inside: reads and writes only the argument array, held by the caller.
    py::gil_scoped_release release;
    market_fills::factor_ratios(cells, factor.shape(0), factor.shape(1));
}

void keep_changes(const py::array& ratio, const Cells<bool>& listed) {
    double* cells = writable_table(ratio, "ratio");
    require_shape_of(listed, "listed", ratio);
    // No Python inside: reads and writes only the argument arrays, held by the caller.
    py::gil_scoped_release release;
    market_fills::keep_changes(cells, flags_of(listed), ratio.size());
}

}  // namespace

void add_market_fills(py::module_& m) {
    m.def("carry_closes", &carry_closes, py::arg("close"), py::arg("traded"), py::arg("listed"),
          "In place: each day's close where the stock traded, else the last traded close before it;\n"
          "before its first traded day its last own close; NaN where not listed.");
    m.def("fill_execution_prices", &fill_execution_prices, py::arg("price"), py::arg("fallback"), py::arg("traded"),
          "In place: a price that is not a finite positive number takes the fallback's, then NaN where\n"
          "the day is not traded or the price is still not a finite positive number.");
    m.def("lock_at_limit", &lock_at_limit, py::arg("price"), py::arg("limit"), py::arg("traded"), py::kw_only(),
          py::arg("extreme") = py::none(), py::arg("limit_up"), py::arg("tolerance"),
          "In place: the price becomes the limit where it lies within `tolerance` of it, or where the\n"
          "day was traded and its extreme (the low against a limit-up, the high against a limit-down)\n"
          "reached the limit within `tolerance`.");
    m.def("factor_ratios", &factor_ratios, py::arg("factor"),
          "In place: each cell's factor carried down over NaN cells, divided by the carried factor of\n"
          "the day before; NaN on the first row.");
    m.def("keep_changes", &keep_changes, py::arg("ratio"), py::arg("listed"),
          "In place: NaN where not listed or the ratio is not a finite positive number other than one.");
}

}  // namespace lumora::prepare
