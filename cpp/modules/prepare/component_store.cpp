#include "prepare/component_store.hpp"

#include <string>
#include <vector>

#include "lumora/dataset_catalogue.hpp"
#include "lumora/name_list.hpp"
#include "prepare/catalogue_bindings.hpp"
#include "prepare/plain_class.hpp"

namespace lumora::prepare {

namespace cat = lumora::catalogue;

namespace {

py::object store_base() { return store_attr("BinaryPreparedDataStoreBase"); }

py::object timestamp_now() { return py::module_::import("pandas").attr("Timestamp").attr("now")().attr("isoformat")(); }

py::dict mapping_entry(py::dict& owner, const char* key) {
    py::object value = owner.attr("get")(key);
    if (value.is_none()) {
        py::dict fresh;
        owner[key] = fresh;
        return fresh;
    }
    return value.cast<py::dict>();
}

// Holds the store's exclusive writer lock for one read-modify-write; released on every
// path out, exceptions included.
class WriterSession {
public:
    explicit WriterSession(py::handle store) : session_(store.attr("_writer_session")(py::arg("create") = false)) {
        session_.attr("__enter__")();
    }
    ~WriterSession() {
        try {
            py::none none;
            session_.attr("__exit__")(none, none, none);
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable("releasing the prepared data writer lock");
        }
    }
    WriterSession(const WriterSession&) = delete;
    WriterSession& operator=(const WriterSession&) = delete;

private:
    py::object session_;
};

void store_init(py::object self, py::object store_dir, py::object component_names) {
    store_base().attr("__init__")(self, store_dir, build_matrix_dtype(component_names), cat::kPreparedDataVersion,
                                  std::string(cat::kFloatStorage));
}

// Only datasets the store actually holds are loaded when no keys are given.
py::object store_load(py::object self, py::object start_date, py::object end_date, py::object keys, py::object mmap) {
    if (keys.is_none()) {
        py::dict metadata = self.attr("load_metadata")();
        py::object datasets = metadata.attr("get")("datasets", py::dict());
        py::list present;
        for (py::handle key : self.attr("matrix_dtype"))
            if (datasets.contains(key)) present.append(key);
        keys = present;
    }
    py::object result =
        store_base().attr("load")(self, py::arg("start_date") = start_date, py::arg("end_date") = end_date,
                                  py::arg("keys") = keys, py::arg("mmap") = mmap);
    py::object mapping_type = py::module_::import("collections.abc").attr("Mapping");
    if (!py::isinstance(result, mapping_type))
        throw py::type_error("prepared data store load() must return a mapping, got " +
                             std::string(py::str(py::type::of(result).attr("__name__"))));
    return result;
}

// Names already recorded followed by the requested ones, first occurrence kept.
py::list merged_component_names(py::dict& meta, py::handle requested) {
    py::list combined = parse_name_list(meta.attr("get")("component_names", py::list()));
    for (py::handle name : parse_name_list(requested)) combined.append(name);
    std::vector<std::string> names;
    for (py::handle name : parse_name_list(combined)) names.push_back(name.cast<std::string>());
    py::list out;
    for (const std::string& name : unique_keep_first(names)) out.append(py::str(name));
    return out;
}

void record_components(py::dict& metadata, py::handle requested) {
    py::dict meta = mapping_entry(metadata, "meta");
    py::list names = merged_component_names(meta, requested);
    py::dict keys;
    py::object existing = meta.attr("get")("component_dataset_keys", py::dict());
    keys.attr("update")(existing);
    py::object component_dataset_key = store_attr("component_dataset_key");
    for (py::handle name : names) keys[name] = component_dataset_key(name);
    meta["component_names"] = names;
    meta["component_dataset_keys"] = keys;
    py::object now = timestamp_now();
    metadata["updated_at"] = now;
    meta["updated_at"] = now;
    meta["component_supplemented_at"] = now;
}

// Writes the component matrices the store lacks; matrices come before the metadata that
// names them, and the metadata is replaced atomically, so an interrupted call leaves the
// previous store readable and the next call writes the missing matrices again.
py::list store_add_component_matrices(py::object self, py::object component_matrices, py::object component_names) {
    WriterSession session(self);
    py::dict metadata = self.attr("load_metadata")();
    py::dict datasets = mapping_entry(metadata, "datasets");
    py::object component_dataset_key = store_attr("component_dataset_key");
    py::object store_dir = self.attr("store_dir");
    py::list written;
    for (py::handle name : parse_name_list(component_names)) {
        py::object key = component_dataset_key(name);
        if (datasets.contains(key)) continue;
        py::object matrix = component_matrices.attr("get")(name);
        if (matrix.is_none() || py::len(matrix) == 0)
            throw py::value_error("缺失成分股矩阵为空，无法补充: " + name.cast<std::string>());
        datasets[key] = self.attr("_write_matrix")(store_dir, key, matrix, std::string(cat::kFloatStorage));
        written.append(name);
    }
    if (written.empty()) return written;
    record_components(metadata, component_names);
    self.attr("_write_metadata")(metadata);
    self.attr("_write_manifest")(store_dir, metadata);
    return written;
}

}  // namespace

py::object make_component_store_class() {
    py::object cls = plain_class("BinaryPreparedDataStore", py::make_tuple(store_base()),
                                 "Prepared-data store extended by the index-membership (component) matrices.\n\n"
                                 "Its catalogue is the twelve base datasets plus one float64 dataset per component\n"
                                 "factor name; load() without keys reads only the datasets the store holds, and\n"
                                 "add_component_matrices() supplements missing component matrices in place.");
    set_initialiser(cls, store_init, "_init_store", py::arg("store_dir"), py::arg("component_names") = py::none());
    cls.attr("load") =
        py::cpp_function(store_load, py::name("load"), py::is_method(cls), py::arg("start_date") = py::none(),
                         py::arg("end_date") = py::none(), py::arg("keys") = py::none(), py::arg("mmap") = true,
                         "Load datasets; without keys, every catalogue dataset the store holds.");
    cls.attr("add_component_matrices") =
        py::cpp_function(store_add_component_matrices, py::name("add_component_matrices"), py::is_method(cls),
                         py::arg("component_matrices"), py::arg("component_names"),
                         "Write the component matrices the store lacks; returns the names written.");
    return cls;
}

}  // namespace lumora::prepare
