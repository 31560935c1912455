#pragma once
// GroupPreparedDataBuilder: reads the source factors of one date range through the SDK
// client and derives the prepared matrices, the membership masks and the benchmark series
// from them. A plain Python class whose methods are the C++ functions declared here; the
// methods call each other through `self`, so a subclass (or a test) can replace any step.

#include <pybind11/pybind11.h>

#include <string>

namespace lumora::prepare {

namespace py = pybind11;

// Creates the class (module "lumora.backtest._prepare") and returns it.
py::object make_builder_class();

// ---- shared helpers (builder_support.cpp) -------------------------------------------

// A table that is there and holds data: not None and not DataFrame.empty.
bool has_data(py::handle table);
// The truth value of a Python object (errors of __bool__ pass through).
bool truthy(py::handle value);
// A new empty DataFrame: the placeholder of a factor that gave no rows.
py::object empty_frame();
// The SDK client installed in lumora.singleton (looked up through this module at each
// query, so tests can replace it).
py::object sdk_client();
bool is_table_source(py::handle client);
// True when the Python error being handled is a lumora.exceptions.NetworkError.
bool is_network_error(const py::error_already_set& error);
// pandas.Timestamp.now().isoformat()
py::object timestamp_now_text();
[[noreturn]] void raise_key_error(const std::string& message);

// Where the finished data entries of a build go. Without a sink (None) each entry is kept
// in `kept` under its key. With a sink, `sink(stored_key, value)` receives it as soon as it
// is final and `kept` records only None under its key ("handed over"), so the build never
// holds a table it no longer needs.
class Emitter {
public:
    explicit Emitter(py::handle sink) : sink_(py::reinterpret_borrow<py::object>(sink)) {}
    bool streaming() const { return !sink_.is_none(); }
    // `stored_key` is the key the store knows the entry by when it differs from `key`.
    void operator()(py::handle key, py::object value, py::handle stored_key = py::handle());
    py::dict kept;

private:
    py::object sink_;
};

// ---- source reading (builder_reading.cpp, factor_pivot.cpp, benchmark_series.cpp) ---

py::object normalize_ddb_backtest_date(py::handle date_value);
py::object vk_factor_date(py::handle date_value);
py::dict vk_factors_to_matrices(py::handle self, py::handle df, py::handle names);
py::object read_normal_factor_matrix(py::handle self, py::handle name);
py::dict read_normal_factor_batch(py::handle self, py::handle names);
py::object read_or_empty(py::handle self, py::handle name, py::handle reference, py::handle batch);
py::object batch_or_read(py::handle self, py::handle batch, py::handle name);
py::dict component_matrices(py::handle self, py::handle component_names, py::handle batch, py::handle sink);
py::dict read_benchmark_dict(py::handle self);
py::object format_benchmark_daily_return(py::handle self, py::handle df, py::handle benchmark_name,
                                         py::handle index_code);
py::tuple read_source_data(py::handle self, py::handle incremental, py::handle sink);

// ---- derivation and payload (builder_derivation.cpp, builder_payload.cpp) -----------

py::object empty_like(py::handle reference, py::handle fill_value);
// The membership mask of one component factor table (1.0 member, NaN otherwise); with
// `shared_when_empty`, a table without any member gives a read-only view of one NaN.
py::object component_mask(py::handle matrix, bool shared_when_empty);
py::dict build_from_matrices(py::handle self, py::handle source, bool release, py::handle sink);
// Entries that are None were handed to the build's sink and are left out of the payload.
py::dict assemble_payload(py::handle self, py::handle data, py::handle component_matrices, py::handle benchmark_dict,
                          py::handle component_names, py::handle meta_time_key);
py::dict build_payload(py::handle self, py::handle incremental, py::handle meta_time_key, py::handle sink);

}  // namespace lumora::prepare
