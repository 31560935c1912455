#pragma once
// BinaryPreparedDataStore: the prepared-data store extended by the index-membership
// (component) matrices. A Python class deriving from the store base of
// lumora.backtest._store, with its methods implemented here.

#include <pybind11/pybind11.h>

namespace lumora::prepare {

namespace py = pybind11;

// Creates the class (module "lumora.backtest._prepare") and returns it.
py::object make_component_store_class();

}  // namespace lumora::prepare
