// Reading the source factors through the SDK client: single and batch factor queries,
// the placeholders of optional factors, the membership masks, and the whole source of
// a full or an incremental build.

#include <string>

#include "lumora/dataset_catalogue.hpp"
#include "prepare/builder.hpp"
#include "prepare/catalogue_bindings.hpp"

namespace lumora::prepare {

namespace cat = lumora::catalogue;

namespace {

py::object sorted_by_index(py::handle table) {
    if (py::bool_(table.attr("index").attr("is_monotonic_increasing")))
        return py::reinterpret_borrow<py::object>(table);
    return table.attr("sort_index")();
}

// The batch entry when it holds data, sorted by date; otherwise None.
py::object batch_entry(py::handle batch, py::handle name) {
    if (batch.is_none()) return py::none();
    py::object entry = batch.attr("get")(name);
    return has_data(entry) ? sorted_by_index(entry) : py::none();
}

// A client that holds its market as tables (the sandbox, the file source) answers one
// factor as a date x stock table directly, which spares building and pivoting millions of
// narrow rows. Its table holds exactly the dates and stocks the narrow rows would name.
py::object table_query(py::handle client, py::handle self, py::handle factor) {
    if (!is_table_source(client)) return py::none();
    py::object table = client.attr("get_factor_matrix")(factor, vk_factor_date(self.attr("default_start")),
                                                        vk_factor_date(self.attr("end_date")));
    return has_data(table) ? store_attr("clean_matrix")(table) : empty_frame();
}

py::object factor_query(py::handle self, py::handle factor) {
    return sdk_client().attr("get_factors")(py::arg("factor") = factor,
                                            py::arg("start_date") = vk_factor_date(self.attr("default_start")),
                                            py::arg("end_date") = vk_factor_date(self.attr("end_date")));
}

}  // namespace

py::object normalize_ddb_backtest_date(py::handle date_value) {
    if (date_value.is_none()) return py::none();
    py::str text(date_value);
    if (py::len(text) == 7 && py::bool_(text.attr("isdigit")())) return text + py::str("0");
    return text;
}

py::object vk_factor_date(py::handle date_value) {
    py::object text = store_attr("normalize_yyyymmdd")(date_value);
    if (text.is_none()) return py::none();
    py::object datetime = py::module_::import("datetime").attr("datetime");
    return datetime.attr("strptime")(text, "%Y%m%d").attr("strftime")("%Y-%m-%d");
}

py::object read_normal_factor_matrix(py::handle self, py::handle name) {
    py::object table = table_query(sdk_client(), self, name);
    if (!table.is_none()) return table;
    py::list names;
    names.append(name);
    py::object matrices = self.attr("_vk_factors_to_matrices")(factor_query(self, name), names);
    py::object matrix = matrices.attr("get")(name);
    return has_data(matrix) ? matrix : empty_frame();
}

py::dict read_normal_factor_batch(py::handle self, py::handle names) {
    py::list wanted = parse_name_list(names);
    py::dict result;
    if (wanted.empty()) return result;
    if (is_table_source(sdk_client())) {
        for (py::handle name : wanted) result[name] = self.attr("_read_normal_factor_matrix")(name);
        return result;
    }
    try {
        result = self.attr("_vk_factors_to_matrices")(factor_query(self, wanted), wanted);
    } catch (py::error_already_set& error) {
        if (!is_network_error(error)) throw;
        // A failed batch is no failure yet: every factor is read on its own below.
        result = py::dict();
        for (py::handle name : wanted) result[name] = empty_frame();
    }
    for (py::handle name : wanted)
        if (!has_data(result.attr("get")(name))) result[name] = self.attr("_read_normal_factor_matrix")(name);
    return result;
}

py::object batch_or_read(py::handle self, py::handle batch, py::handle name) {
    py::object entry = batch_entry(batch, name);
    return entry.is_none() ? self.attr("_read_normal_factor_matrix")(name) : entry;
}

py::object read_or_empty(py::handle self, py::handle name, py::handle reference, py::handle batch) {
    py::object matrix = batch.is_none() ? self.attr("_read_normal_factor_matrix")(name) : batch_entry(batch, name);
    return has_data(matrix) ? matrix : self.attr("_empty_like")(reference);
}

py::dict component_matrices(py::handle self, py::handle component_names, py::handle batch, py::handle sink) {
    py::object dataset_key = store_attr("component_dataset_key");
    Emitter emit(sink);
    for (py::handle name : component_names) {
        py::object matrix = batch.is_none() ? py::none() : batch.attr("get")(name);
        if (!has_data(matrix)) {
            try {
                matrix = self.attr("_read_normal_factor_matrix")(name);
            } catch (py::error_already_set& error) {
                if (!is_network_error(error)) throw;
                continue;  // reported as a missing component when the payload is built
            }
        }
        if (!has_data(matrix)) continue;
        // A mask handed to a sink is written and dropped at once, so it may be a read-only
        // view; one kept in the payload is a table of its own.
        py::object mask = sorted_by_index(component_mask(matrix, emit.streaming()));
        matrix = py::none();  // the raw factor table is not needed beside its mask
        emit(name, std::move(mask), dataset_key(name));
    }
    return emit.kept;
}

py::tuple read_source_data(py::handle self, py::handle incremental, py::handle sink) {
    py::list component_names = get_component_factor_names();
    // The sink goes along only when there is one, so an override of _component_matrices
    // that knows no sink still serves every build without one.
    auto memberships_of = [&](py::handle batch) {
        py::dict options;
        if (!batch.is_none()) options["batch"] = batch;
        if (!sink.is_none()) options["sink"] = sink;
        return self.attr("_component_matrices")(component_names, **options);
    };
    py::dict source;
    py::object memberships;
    py::object reference;
    if (truthy(incremental)) {
        // One query for everything; single reads only for what the batch left empty.
        py::list names = text_list(cat::kRequiredFactorNames);
        for (py::handle name : text_list(cat::kOptionalFactorNames)) names.append(name);
        for (py::handle name : component_names) names.append(name);
        py::object batch = self.attr("_read_normal_factor_batch")(names);
        source["Close"] = self.attr("_batch_or_read")(batch, "Close");
        // The placeholders of optional factors take only the labels of the close table.
        reference = source["Close"];
        memberships = memberships_of(batch);
        for (py::handle name : text_list(cat::kRequiredFactorNames))
            if (!py::str(name).equal(py::str("Close"))) source[name] = self.attr("_batch_or_read")(batch, name);
        for (py::handle name : text_list(cat::kOptionalFactorNames))
            source[name] = self.attr("_read_or_empty")(name, reference, py::arg("batch") = batch);
    } else {
        for (py::handle name : text_list(cat::kRequiredFactorNames))
            source[name] = self.attr("_read_normal_factor_matrix")(name);
        reference = source["Close"];  // its labels, for the placeholders of optional factors
        for (py::handle name : text_list(cat::kOptionalFactorNames))
            source[name] = self.attr("_read_or_empty")(name, reference);
        reference = py::none();  // only the placeholders of optional factors needed it
        memberships = memberships_of(py::none());
    }
    py::object benchmarks = self.attr("_read_benchmark_dict")();
    return py::make_tuple(source, memberships, benchmarks, component_names);
}

}  // namespace lumora::prepare
