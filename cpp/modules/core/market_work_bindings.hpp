#pragma once
// The market's work of the factor analysis, kept with a loaded market (a BacktestData) and
// handed to its factor requests: MarketWork is what a request reads, MarketWorkKeeper the
// loaded market's holder of it, which builds it on the first request and again whenever a
// table it derives from has changed since.

#include <pybind11/pybind11.h>

#include <memory>

#include "lumora/market_work.hpp"

namespace lumora::core {

namespace py = pybind11;

// A built work with the labels it was built on: the open table's dates (its calendar) and
// the stocks of the market's close validity (the stocks every request ranks). Never
// written after it is built, so any number of requests read it at once.
struct MarketWorkHandle {
    std::shared_ptr<const MarketWork> work;
    py::object calendar, stocks;
};

void register_market_work(py::module_& m);

}  // namespace lumora::core
