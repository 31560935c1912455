// The group backtest core: market array alignment, datetime indexing and the Sharpe ratio
// shared with the strategy module.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "common/frame_bridge.hpp"
#include "common/market_bridge.hpp"
#include "common/python_module.hpp"
#include "core/factor_analysis_chart.hpp"
#include "core/factor_correlation_bindings.hpp"
#include "core/factor_data_frame.hpp"
#include "core/group_bindings.hpp"
#include "core/market_work_bindings.hpp"
#include "lumora/sharpe.hpp"

namespace py = pybind11;
using namespace lumora;

namespace {

// Every Python module of lumora this module reaches.
bridge::PythonModule core_module{"lumora.backtest._core"};
bridge::PythonModule logger_module{"lumora.logger"};
bridge::PythonModule strategy_module{"lumora.backtest._weightbook"};
bridge::PythonModule result_module{"lumora.backtest.result"};

const char* const kMarketKeys[8] = {"can_buy_arr", "cant_sell_arr",  "split_arr",     "dividend_arr",
                                    "close_arr",   "prev_close_arr", "buy_price_arr", "sell_price_arr"};

py::array dense_flags(const AlignedMatrix& m, bool missing) {
    py::array_t<bool> out({m.rows(), m.cols()});
    copy_flags(m, missing, out.mutable_data());
    return out;
}

py::array dense_values(const AlignedMatrix& m) {
    py::array_t<double> out({m.rows(), m.cols()});
    copy_values(m, out.mutable_data());
    return out;
}

py::dict build_market_arrays(py::object pnl_index, py::object columns, py::object can_buy, py::object cant_sell,
                             py::object split, py::object dividend, py::object close, py::object prev_close,
                             py::object buy_price, py::object sell_price) {
    // Tables and wanted labels matched under normalised labels, as the engines match them.
    bridge::LabelBook book;
    const std::array<py::object, 8> tables = bridge::normalised_market(
        {can_buy, cant_sell, split, dividend, close, prev_close, buy_price, sell_price}, book);
    py::object index = bridge::pandas().attr("Index");
    py::object rows = book.normalised(index(pnl_index), bridge::Axis::Dates, "pnl_index");
    py::object cols = book.normalised(index(columns), bridge::Axis::Stocks, "columns");
    bridge::MarketTables market = bridge::align_market(bridge::handles(tables), rows, cols);
    const MarketArrays& a = market.arrays;
    const AlignedMatrix* values[8] = {&a.can_buy, &a.cant_sell,  &a.split,     &a.dividend,
                                      &a.close,   &a.prev_close, &a.buy_price, &a.sell_price};
    py::dict out;
    // Keys in the order the engine takes them.
    const int order[8] = {5, 0, 1, 4, 6, 7, 2, 3};
    for (int k : order) {
        if (k == 0)
            out[kMarketKeys[k]] = dense_flags(*values[k], kMissingCanBuy);
        else if (k == 1)
            out[kMarketKeys[k]] = dense_flags(*values[k], kMissingCantSell);
        else
            out[kMarketKeys[k]] = dense_values(*values[k]);
    }
    return out;
}

py::object with_datetime_index(py::object frame) {
    py::module_ pd = bridge::pandas();
    py::object out = frame.attr("copy")(py::arg("deep") = false);
    py::object index = frame.attr("index");
    if (py::isinstance(index, pd.attr("DatetimeIndex"))) return out;
    py::object text = pd.attr("Index")(index).attr("astype")("str");
    py::object parsed = pd.attr("to_datetime")(text, py::arg("format") = "%Y%m%d");
    parsed.attr("name") = index.attr("name");
    out.attr("index") = parsed;
    return out;
}

double sharpe(py::object returns, double periods) {
    py::array_t<double, py::array::c_style | py::array::forcecast> values(
        bridge::numpy().attr("asarray")(returns, py::arg("dtype") = "float64").attr("ravel")());
    return safe_sharpe(values.data(), static_cast<std::size_t>(values.size()), periods);
}

}  // namespace

py::handle core::python::own_module() { return core_module.get(); }
py::object core::python::logger() { return logger_module.attr("logger"); }
py::object core::python::factor_analysis_record_type() { return result_module.attr("FactorAnalysis"); }
py::object core::python::build_total_backtesting_frame() {
    return strategy_module.attr("_build_total_backtesting_frame");
}

PYBIND11_MODULE(_core, m) {
    m.doc() = "Group backtest core of lumora: market alignment and shared helpers.";
    m.def("_build_market_arrays", &build_market_arrays, py::arg("pnl_index"), py::arg("columns"), py::kw_only(),
          py::arg("can_buy_stock"), py::arg("cant_sell_stock"), py::arg("split_factor"), py::arg("dividend_factor"),
          py::arg("close_price"), py::arg("prev_close"), py::arg("buy_price"), py::arg("sell_price"),
          "The eight market tables aligned by label to (pnl_index x columns); missing flags block trading.");
    m.def("_with_datetime_index", &with_datetime_index, py::arg("frame"),
          "The same rows and columns, indexed by datetimes parsed from YYYYMMDD labels.");
    m.def("safe_sharpe", &sharpe, py::arg("returns"), py::arg("periods") = kTradingDaysPerYear,
          "Annualised Sharpe ratio of daily returns; NaN for fewer than two or constant returns.");
    lumora::core::register_market_work(m);
    lumora::core::register_group_backtest(m);
    lumora::core::register_factor_data(m);
    lumora::core::register_screen_figures(m);
    m.def("plot_factor_analysis", &lumora::core::plot_factor_analysis, py::arg("analysis"), py::arg("save_path"),
          py::arg("title") = "factor",
          "Draw the factor analysis page of a FactorAnalysis at save_path under the plot lock; returns the path.");
}
