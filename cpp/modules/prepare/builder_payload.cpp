// The payload of a build: version, meta (date range, components, time stamp) and data
// (the prepared matrices, the membership masks, the benchmark series).

#include <string>

#include "lumora/dataset_catalogue.hpp"
#include "prepare/builder.hpp"
#include "prepare/catalogue_bindings.hpp"

namespace lumora::prepare {

py::dict assemble_payload(py::handle self, py::handle data, py::handle component_matrices, py::handle benchmark_dict,
                          py::handle component_names, py::handle meta_time_key) {
    py::object dataset_key = store_attr("component_dataset_key");
    py::dict component_keys;
    py::list names;
    for (py::handle name : component_names) {
        names.append(name);
        component_keys[name] = dataset_key(name);
    }
    py::dict tables;
    for (py::handle item : data.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        if (!pair[1].is_none()) tables[pair[0]] = pair[1];
    }
    for (py::handle item : component_matrices.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        if (!pair[1].is_none()) tables[dataset_key(pair[0])] = pair[1];
    }
    if (!benchmark_dict.is_none()) tables["benchmark_dict"] = benchmark_dict;

    py::dict meta;
    meta["start_date"] = self.attr("default_start");
    meta["end_date"] = self.attr("end_date");
    meta["ddb_start"] = self.attr("_ddb_start");
    meta["ddb_end"] = self.attr("_ddb_end");
    meta["component_names"] = names;
    meta["component_dataset_keys"] = component_keys;
    meta[meta_time_key] = timestamp_now_text();

    py::dict payload;
    payload["version"] = catalogue::kPreparedDataVersion;
    payload["meta"] = meta;
    payload["data"] = tables;
    return payload;
}

py::dict build_payload(py::handle self, py::handle incremental, py::handle meta_time_key, py::handle sink) {
    py::tuple read = sink.is_none() ? self.attr("_read_source_data")(incremental)
                                    : self.attr("_read_source_data")(incremental, py::arg("sink") = sink);
    py::object source = read[0];
    py::object memberships = read[1];
    py::object benchmarks = read[2];
    py::object component_names = read[3];
    read = py::tuple();  // the source tables are held by `source` alone
    py::list missing;
    for (py::handle name : component_names)
        if (!memberships.contains(name)) missing.append(name);
    // A store without exact membership tables would filter universes wrongly: stop here
    // (with a sink, the tables handed over so far are never committed).
    if (!missing.empty())
        throw py::value_error("成分股矩阵缺失，无法精确生成二进制缓存: " + std::string(py::str(missing)));
    Emitter emit(sink);
    emit(py::str("benchmark_dict"), std::move(benchmarks));
    benchmarks = emit.kept["benchmark_dict"];
    py::object data =
        sink.is_none() ? self.attr("_build_from_matrices")(source, py::arg("release") = true)
                       : self.attr("_build_from_matrices")(source, py::arg("release") = true, py::arg("sink") = sink);
    source = py::none();
    return self.attr("_assemble_payload")(data, memberships, benchmarks, component_names, meta_time_key);
}

}  // namespace lumora::prepare
