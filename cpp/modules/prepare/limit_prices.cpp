#include "prepare/limit_prices.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <optional>
#include <span>
#include <string>

#include "lumora/limit_prices.hpp"
#include "prepare/table_checks.hpp"

namespace lumora::prepare {

namespace py = pybind11;

namespace {

template <class T>
using Cells = py::array_t<T, py::array::c_style | py::array::forcecast>;

template <class T>
std::span<const T> values_of(const Cells<T>& a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}

template <class T>
MatrixView view_of(const Cells<T>& a) {
    const auto rows = static_cast<std::int64_t>(a.shape(0)), cols = static_cast<std::int64_t>(a.shape(1));
    return MatrixView{reinterpret_cast<const std::byte*>(a.data()),
                      rows,
                      cols,
                      static_cast<std::ptrdiff_t>(cols * sizeof(T)),
                      static_cast<std::ptrdiff_t>(sizeof(T)),
                      std::is_same_v<T, bool> ? CellKind::Bool : CellKind::Float64};
}

void require_shape(const py::array& a, const char* name, py::ssize_t rows, py::ssize_t cols) {
    prepare::require_shape(a, name, rows, cols, "previous_close");
}

void require_length(const py::array& a, const char* name, py::ssize_t length) {
    if (a.ndim() != 1 || a.shape(0) != length)
        throw py::value_error(std::string(name) + " must hold " + std::to_string(length) + " values");
}

// The checked inputs of a date x stock block, and the tables written by `fill` with them.
template <class Fill>
void with_limit_inputs(const Cells<double>& previous_close, const Cells<std::int32_t>& codes,
                       const Cells<std::int32_t>& dates, const std::optional<Cells<bool>>& beijing,
                       const std::optional<Cells<double>>& dividend, const std::optional<Cells<double>>& split,
                       const std::optional<Cells<bool>>& special_treatment,
                       const std::optional<Cells<std::int32_t>>& listing_date,
                       const std::optional<Cells<std::int32_t>>& calendar, Fill&& fill) {
    if (previous_close.ndim() != 2) throw py::value_error("previous_close must be a date x stock table");
    const py::ssize_t rows = previous_close.shape(0), cols = previous_close.shape(1);
    require_length(codes, "codes", cols);
    require_length(dates, "dates", rows);
    if (beijing) require_length(*beijing, "beijing", cols);
    if (listing_date) require_length(*listing_date, "listing_date", cols);
    if (dividend) require_shape(*dividend, "dividend", rows, cols);
    if (split) require_shape(*split, "split", rows, cols);
    if (special_treatment) require_shape(*special_treatment, "special_treatment", rows, cols);
    const Cells<std::int32_t>& days = calendar ? *calendar : dates;
    if (days.ndim() != 1) throw py::value_error("calendar must be one-dimensional");
    const std::span<const std::int32_t> trading = values_of(days);
    for (std::size_t k = 1; k < trading.size(); ++k)
        if (trading[k] <= trading[k - 1]) throw py::value_error("calendar must be ascending dates");

    const MatrixView dividend_view = dividend ? view_of(*dividend) : MatrixView{};
    const MatrixView split_view = split ? view_of(*split) : MatrixView{};
    const MatrixView special_view = special_treatment ? view_of(*special_treatment) : MatrixView{};
    std::span<const std::uint8_t> beijing_marks;
    if (beijing)
        beijing_marks = {reinterpret_cast<const std::uint8_t*>(beijing->data()), static_cast<std::size_t>(cols)};
    const limits::LimitInputs in{view_of(previous_close),
                                 dividend ? &dividend_view : nullptr,
                                 split ? &split_view : nullptr,
                                 special_treatment ? &special_view : nullptr,
                                 values_of(codes),
                                 beijing_marks,
                                 values_of(dates),
                                 trading,
                                 listing_date ? values_of(*listing_date) : std::span<const std::int32_t>{}};
    try {
        fill(in, rows, cols);
    } catch (const std::invalid_argument& error) {
        throw py::value_error(error.what());
    }
}

py::tuple limit_prices(const Cells<double>& previous_close, const Cells<std::int32_t>& codes,
                       const Cells<std::int32_t>& dates, const std::optional<Cells<bool>>& beijing,
                       const std::optional<Cells<double>>& dividend, const std::optional<Cells<double>>& split,
                       const std::optional<Cells<bool>>& special_treatment,
                       const std::optional<Cells<std::int32_t>>& listing_date,
                       const std::optional<Cells<std::int32_t>>& calendar) {
    py::tuple out;
    with_limit_inputs(previous_close, codes, dates, beijing, dividend, split, special_treatment, listing_date, calendar,
                      [&](const limits::LimitInputs& in, py::ssize_t rows, py::ssize_t cols) {
                          py::array_t<double> reference({rows, cols}), up({rows, cols}), down({rows, cols});
                          double* reference_out = reference.mutable_data();
                          double* up_out = up.mutable_data();
                          double* down_out = down.mutable_data();
                          {
                              // No Python inside: reads the argument arrays (held by this frame) and
                              // writes only the three new arrays.
                              py::gil_scoped_release release;
                              limits::limit_tables(in, reference_out, up_out, down_out);
                          }
                          out = py::make_tuple(reference, up, down);
                      });
    return out;
}

// A table to write in place: float64, C-contiguous, writeable, of the block's shape.
double* writable_block(const py::array& a, const char* name, py::ssize_t rows, py::ssize_t cols) {
    double* cells = writable_table(a, name);
    require_shape(a, name, rows, cols);
    return cells;
}

void limit_prices_into(const Cells<double>& previous_close, const Cells<std::int32_t>& codes,
                       const Cells<std::int32_t>& dates, const py::array& limit_up, const py::array& limit_down,
                       const std::optional<Cells<bool>>& beijing, const std::optional<Cells<double>>& dividend,
                       const std::optional<Cells<double>>& split, const std::optional<Cells<bool>>& special_treatment,
                       const std::optional<Cells<std::int32_t>>& listing_date,
                       const std::optional<Cells<std::int32_t>>& calendar, const std::optional<Cells<bool>>& listed) {
    with_limit_inputs(previous_close, codes, dates, beijing, dividend, split, special_treatment, listing_date, calendar,
                      [&](const limits::LimitInputs& given, py::ssize_t rows, py::ssize_t cols) {
                          double* up_out = writable_block(limit_up, "limit_up", rows, cols);
                          double* down_out = writable_block(limit_down, "limit_down", rows, cols);
                          if (up_out == down_out) throw py::value_error("limit_up and limit_down must be two tables");
                          limits::LimitInputs in = given;
                          if (listed) {
                              require_shape(*listed, "listed", rows, cols);
                              in.within = reinterpret_cast<const std::uint8_t*>(listed->data());
                          }
                          // No Python inside: reads the argument arrays and writes the two tables,
                          // all held by the caller for the call.
                          py::gil_scoped_release release;
                          limits::limit_tables(in, nullptr, up_out, down_out);
                      });
}

}  // namespace

void add_limit_prices(py::module_& m) {
    m.def("limit_prices", &limit_prices, py::arg("previous_close"), py::arg("codes"), py::arg("dates"), py::kw_only(),
          py::arg("beijing") = py::none(), py::arg("dividend") = py::none(), py::arg("split") = py::none(),
          py::arg("special_treatment") = py::none(), py::arg("listing_date") = py::none(),
          py::arg("calendar") = py::none(),
          "The exchanges' reference, limit-up and limit-down prices (yuan, whole cents; NaN: none) of a\n"
          "date x stock block, from each day's previous close, cash dividend per share and split factor\n"
          "(new shares per old one), by board (six-digit code numbers; `beijing` marks codes quoted on\n"
          "the Beijing exchange), date (YYYYMMDD per row, each one of the ascending `calendar`, by\n"
          "default `dates`), special treatment and listing date (YYYYMMDD per stock, 0: listed before\n"
          "the calendar). Rounded half up to the cent; no limit before the listing, on its first day and\n"
          "on its first five days under the registration rules.");
    m.def("limit_prices_into", &limit_prices_into, py::arg("previous_close"), py::arg("codes"), py::arg("dates"),
          py::arg("limit_up"), py::arg("limit_down"), py::kw_only(), py::arg("beijing") = py::none(),
          py::arg("dividend") = py::none(), py::arg("split") = py::none(), py::arg("special_treatment") = py::none(),
          py::arg("listing_date") = py::none(), py::arg("calendar") = py::none(), py::arg("listed") = py::none(),
          "The limit-up and limit-down prices of `limit_prices`, written into the given tables (writeable\n"
          "C-contiguous float64, the block's shape) in place of new ones; with `listed` (the block's shape)\n"
          "NaN where it is off.");
}

}  // namespace lumora::prepare
