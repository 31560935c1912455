// GroupPreparedDataBuilder as a plain Python class: a constructor keeping four dates and
// the methods of the reading and deriving halves.

#include "prepare/builder.hpp"
#include "prepare/catalogue_bindings.hpp"
#include "prepare/plain_class.hpp"

namespace lumora::prepare {

namespace {

void init_builder(py::handle self, py::handle start_date, py::handle end_date) {
    py::object normalize = store_attr("normalize_yyyymmdd");
    py::object start = normalize(start_date);
    py::object end = normalize(end_date);
    self.attr("default_start") = start;
    self.attr("end_date") = end;
    self.attr("_ddb_start") = normalize_ddb_backtest_date(start);
    self.attr("_ddb_end") = normalize_ddb_backtest_date(end);
}

template <class Fn, class... Extra>
void add_method(py::object& cls, const char* name, Fn&& fn, const Extra&... extra) {
    cls.attr(name) = py::cpp_function(std::forward<Fn>(fn), py::name(name), py::is_method(cls), extra...);
}

template <class Fn, class... Extra>
void add_static(py::object& cls, const char* name, Fn&& fn, const Extra&... extra) {
    cls.attr(name) = py::staticmethod(py::cpp_function(std::forward<Fn>(fn), py::name(name), extra...));
}

void add_reading_methods(py::object& cls) {
    add_static(cls, "_normalize_ddb_backtest_date", &normalize_ddb_backtest_date, py::arg("date_value"),
               "The date's text, a seven-digit text completed with a trailing 0; None stays None.");
    add_static(cls, "_vk_factor_date", &vk_factor_date, py::arg("date_value"),
               "A date as YYYY-MM-DD text for factor queries; None stays None.");
    add_method(cls, "_read_normal_factor_matrix", &read_normal_factor_matrix, py::arg("name"),
               "One factor read on its own; an empty DataFrame when the query gives no rows.");
    add_method(cls, "_read_normal_factor_batch", &read_normal_factor_batch, py::arg("names"),
               "Several factors in one query; factors it leaves empty (or all, after a NetworkError) are read singly.");
    add_method(cls, "_read_or_empty", &read_or_empty, py::arg("name"), py::arg("reference"),
               py::arg("batch") = py::none(), "An optional factor, or an all-NaN table shaped like reference.");
    add_method(cls, "_batch_or_read", &batch_or_read, py::arg("batch"), py::arg("name"),
               "The batch entry sorted by date when it holds data, else a single read.");
    add_method(cls, "_vk_factors_to_matrices", &vk_factors_to_matrices, py::arg("df"), py::arg("names"),
               "Factor name -> date x stock table from a narrow or wide factor query result.");
    add_method(cls, "_component_matrices", &component_matrices, py::arg("component_names"),
               py::arg("batch") = py::none(), py::arg("sink") = py::none(),
               "Component factor name -> membership mask (1.0 member, NaN otherwise); unreadable ones are left out. "
               "With a sink each mask goes to sink(dataset key, mask) at once and its name maps to None.");
    add_method(cls, "_read_benchmark_dict", &read_benchmark_dict,
               "Benchmark short name -> daily return series, from one index query.");
    add_method(cls, "_format_benchmark_daily_return", &format_benchmark_daily_return, py::arg("df"),
               py::arg("benchmark_name"), py::arg("index_code"), "One benchmark's daily return series.");
    add_method(cls, "_read_source_data", &read_source_data, py::arg("incremental"), py::arg("sink") = py::none(),
               "(source, component_matrices, benchmark_dict, component_names) of the builder's range; the sink "
               "receives the membership masks.");
}

void add_deriving_methods(py::object& cls) {
    py::object nan = py::module_::import("numpy").attr("nan");
    add_static(cls, "_empty_like", &empty_like, py::arg("reference"), py::arg("fill_value") = nan,
               "A read-only table with the labels of reference, every cell fill_value.");
    add_method(cls, "_build_from_matrices", &build_from_matrices, py::arg("source"), py::arg("release") = false,
               py::arg("sink") = py::none(),
               "The twelve prepared matrices derived from the source tables; release: the source tables are "
               "taken out of source once used; sink: each matrix goes to sink(key, table) as soon as it is "
               "final and maps to None in the result.");
    add_method(cls, "_assemble_payload", &assemble_payload, py::arg("data"), py::arg("component_matrices"),
               py::arg("benchmark_dict"), py::arg("component_names"), py::arg("meta_time_key"),
               "The payload mapping: version, meta and data.");
    add_method(cls, "_build_payload", &build_payload, py::arg("incremental"), py::arg("meta_time_key"),
               py::arg("sink") = py::none(), "Read, check the membership masks, derive and assemble.");
    add_method(
        cls, "build",
        [](py::handle self, py::handle sink) {
            if (sink.is_none()) return self.attr("_build_payload")(false, "created_at");
            return self.attr("_build_payload")(false, "created_at", py::arg("sink") = sink);
        },
        py::arg("sink") = py::none(),
        "The payload of a full build (meta stamped created_at). With a sink, every data entry (each "
        "prepared matrix, each membership mask under its dataset key, \"benchmark_dict\") goes to "
        "sink(key, value) as soon as it is final and is not kept: the payload then holds version, meta "
        "and an empty data mapping.");
    add_method(
        cls, "build_incremental", [](py::handle self) { return self.attr("_build_payload")(true, "updated_at"); },
        "The payload of an incremental build: one batch query (meta stamped updated_at).");
}

}  // namespace

py::object make_builder_class() {
    py::object cls =
        plain_class("GroupPreparedDataBuilder", py::make_tuple(),
                    "Builds prepared benchmark data for one date range from the SDK's factor and index queries.\n\n"
                    "build() reads every source factor with its own query and stamps created_at;\n"
                    "build_incremental() reads them in one batch query and stamps updated_at. Both return\n"
                    "{'version', 'meta', 'data'} with the twelve prepared matrices, the index-membership\n"
                    "masks and the benchmark daily return series.");
    set_initialiser(cls, init_builder, "_init_builder", py::arg("start_date"), py::arg("end_date"));
    add_reading_methods(cls);
    add_deriving_methods(cls);
    return cls;
}

}  // namespace lumora::prepare
