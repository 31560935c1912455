#pragma once
// The data preparation workflow of BacktestService: download when there is no complete
// local data, check what a download brought, update the tail up to today, log a summary.

#include <pybind11/pybind11.h>

namespace lumora::service {

namespace py = pybind11;

// Sets prepare_backtest_data, _find_missing_datasets, _validate_metadata,
// _refresh_to_latest and _log_dataset_summary on the service class.
void add_preparation_workflow(py::handle service_class);

}  // namespace lumora::service
