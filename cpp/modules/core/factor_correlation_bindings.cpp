// The screen's figures across factors: conversion and checks around the native core.

#include "core/factor_correlation_bindings.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/frame_bridge.hpp"
#include "lumora/factor_correlation.hpp"
#include "lumora/return_figures.hpp"

namespace lumora::core {

namespace py = pybind11;

namespace {

py::array_t<double> square(std::vector<double>&& values, std::size_t n) {
    py::array_t<double> flat = bridge::owned_array(std::move(values));
    return flat.reshape({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(n)});
}

py::array_t<double> factor_rank_correlation(const py::sequence& factors, const py::sequence& validity,
                                            const py::object& dates, const py::object& stocks) {
    if (py::len(factors) != py::len(validity))
        throw py::value_error("factors and validity must be as long as each other, got " +
                              std::to_string(py::len(factors)) + " and " + std::to_string(py::len(validity)));
    std::vector<bridge::AlignedTable> values, valid;
    std::vector<std::size_t> validity_of;
    std::map<PyObject*, std::size_t> seen;  // a validity table shared by factors is read once
    for (std::size_t f = 0; f < py::len(factors); ++f) {
        py::object factor = factors[f], table = validity[f];
        bridge::require_table(factor, "factors");
        bridge::require_table(table, "validity");
        values.push_back(bridge::aligned_table(factor, dates, stocks, "factors"));
        const auto [found, added] = seen.try_emplace(table.ptr(), valid.size());
        if (added) valid.push_back(bridge::aligned_table(table, dates, stocks, "validity", bridge::Cells::Flags));
        validity_of.push_back(found->second);
    }
    std::vector<AlignedMatrix> value_matrices, valid_matrices;
    for (const bridge::AlignedTable& t : values) value_matrices.push_back(t.matrix);
    for (const bridge::AlignedTable& t : valid) valid_matrices.push_back(t.matrix);
    std::vector<double> out;
    {
        // No Python inside, nor in the worker threads it starts: reads the numpy buffers held
        // by `values` and `valid`, writes only `out`.
        py::gil_scoped_release release;
        out = mean_rank_correlation(ScreenFactors{value_matrices, valid_matrices, validity_of});
    }
    return square(std::move(out), value_matrices.size());
}

py::array_t<double> pairwise_correlation(const py::object& series) {
    if (!py::isinstance(series, bridge::pandas().attr("DataFrame")))
        bridge::raise_type_error("series must be a pandas DataFrame (dates x series), got " +
                                 bridge::type_name(series));
    const bridge::TableArray table = bridge::table_values(series, "series");
    std::vector<double> out;
    {
        // No Python inside: reads the numpy buffer held by `table`, writes only `out`.
        py::gil_scoped_release release;
        out = pairwise_pearson(table.view);
    }
    return square(std::move(out), static_cast<std::size_t>(table.view.cols));
}

py::array_t<double> adjusted_p_values(const py::object& p_values, const std::string& method) {
    const std::vector<double> p = bridge::series_values(p_values, "p_values").to_vector();
    for (double v : p)
        if (v < 0.0 || v > 1.0)
            throw py::value_error("p_values must lie in [0, 1] (NaN for none), got " + std::to_string(v));
    if (method == "bh") return bridge::vector_array(benjamini_hochberg(p));
    if (method == "holm") return bridge::vector_array(holm(p));
    throw py::value_error("method must be 'bh' (Benjamini-Hochberg) or 'holm', got '" + method + "'");
}

std::pair<double, double> mean_t_test(const py::object& values) {
    const std::vector<double> v = bridge::series_values(values, "values").to_vector();
    const Moments m = moments_of(v);
    return {m.t_stat, m.p_value};
}

}  // namespace

void register_screen_figures(py::module_& m) {
    m.def("factor_rank_correlation", &factor_rank_correlation, py::arg("factors"), py::arg("validity"),
          py::arg("dates"), py::arg("stocks"),
          "For every pair of factor tables, the mean over dates of the Pearson correlation of their\n"
          "cross-sectional average ranks on the stocks both rank that date. Each table is aligned by\n"
          "label to dates x stocks; factor f ranks the stocks where its value is finite and validity[f]\n"
          "(aligned alike) holds a number above 0. Returns an F x F array, NaN where undefined.");
    m.def("pairwise_correlation", &pairwise_correlation, py::arg("series"),
          "Pearson correlation of every pair of columns over the rows where both are finite (F x F).");
    m.def("adjusted_p_values", &adjusted_p_values, py::arg("p_values"), py::arg("method"),
          "p-values adjusted for their number: method 'bh' (Benjamini-Hochberg) or 'holm'. NaN\n"
          "entries stay NaN and do not count.");
    m.def("mean_t_test", &mean_t_test, py::arg("values"),
          "t-statistic and two-sided p-value of the mean of the finite values being 0.");
}

}  // namespace lumora::core
