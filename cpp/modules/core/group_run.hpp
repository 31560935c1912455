#pragma once
// A checked group request's tables aligned and handed to the engine: what the backtest and
// its factor data (the long layout) both run. The market's work of the analysis is the
// request's window of the kept one where it fits, else one built for the request alone.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "common/frame_bridge.hpp"
#include "common/market_bridge.hpp"
#include "core/group_bindings.hpp"
#include "lumora/group_engine.hpp"

namespace lumora::core {

namespace py = pybind11;

// Everything the engine reads, kept alive beside what it gave; built in place (the inputs
// point into it) and never moved.
struct GroupRun {
    py::object dates, stocks;  // the factor rows' dates (after any smoothing) and the stocks
    bridge::AlignedTable factor, valid;
    std::vector<double> smoothed;  // the factor's cells when smoothed
    bridge::MarketTables market;
    std::unique_ptr<bridge::AlignedTable> forward, industry, window_open;
    py::object kept_work;                    // the MarketWork read, where one fitted
    std::shared_ptr<const MarketWork> work;  // the kept work, or one built for the request
    ForwardOpens opens;
    GroupInputs in;
    GroupOutputs out;

    GroupRun() = default;
    GroupRun(const GroupRun&) = delete;
    GroupRun& operator=(const GroupRun&) = delete;
};

// Aligns the request's tables (the factor smoothed over `window` dates), picks the forward
// returns and the work, and runs the engine with `in`'s settings into `run`.
void run_group(const GroupRequest& rq, const GroupInputs& in, std::int64_t window, GroupRun& run);

}  // namespace lumora::core
