// prepare_backtest_data and its steps. The data directory, the store class, the download
// functions, the write window, the logger and pandas are module attributes read at each
// call, so a test can point them elsewhere.

#include "service/prepare_workflow.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "lumora/date_window.hpp"
#include "service/service_module.hpp"

namespace lumora::service {

namespace {

constexpr const char* kKeyDatasets[] = {"close_price", "open_price", "can_buy_stock", "cant_sell_stock"};
constexpr const char* kIncomplete = "回测基准数据包不完整,请删除回测数据目录后重新准备";
constexpr const char* kComponentPrefix = "component__";

[[noreturn]] void raise_kestrel(const char* message) {
    PyErr_SetObject(service_attr("KestrelError").ptr(), py::str(message).ptr());
    throw py::error_already_set();
}

bool exists(py::handle path) { return truthy(path.attr("exists")()); }

// mapping.get(key, {})
py::object entry(py::handle mapping, const char* key) { return mapping.attr("get")(key, py::dict()); }

// The stored dates of "close_price" (an empty list when it has none).
py::object close_dates(py::handle datasets) { return entry(datasets, "close_price").attr("get")("index", py::list()); }

bool holds(py::handle mapping, const char* key) { return truthy(mapping.attr("__contains__")(key)); }

// The local calendar date as YYYYMMDD text.
py::object today_text() { return service_attr("pd").attr("Timestamp").attr("today")().attr("strftime")("%Y%m%d"); }

py::object latest_date(py::handle datasets, py::handle key) {
    py::object dates = datasets.attr("get")(key, py::dict()).attr("get")("index", py::list());
    if (py::len(dates) == 0) return py::str("(空)");
    py::object last = dates[py::int_(-1)];
    if (!PyUnicode_Check(last.ptr()))
        throw py::type_error("latest date of dataset " + std::string(py::str(key)) + " must be text, got " +
                             std::string(py::str(py::type::of(last).attr("__name__"))));
    return last;
}

struct SummaryRow {
    py::str label;
    py::object latest;
};

std::vector<SummaryRow> summary_rows(py::handle datasets, py::handle benchmarks) {
    py::set benchmark_keys;
    for (py::handle key : benchmarks.attr("values")()) benchmark_keys.add(key);
    std::vector<SummaryRow> rows;
    for (py::handle key : datasets) {
        py::str text(key);
        if (truthy(text.attr("startswith")(kComponentPrefix))) {
            rows.push_back(
                {py::str("成分股 ") + text.attr("replace")(kComponentPrefix, ""), latest_date(datasets, key)});
        } else if (!benchmark_keys.contains(key)) {
            rows.push_back({text, latest_date(datasets, key)});
        }
    }
    for (py::handle item : benchmarks.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        rows.push_back({py::str("基准 ") + py::str(pair[0]), latest_date(datasets, pair[1])});
    }
    return rows;
}

// ---- the five operations ------------------------------------------------------------

py::list find_missing_datasets(py::handle store) {
    py::object metadata = store.attr("load_metadata")();
    py::object datasets = entry(metadata, "datasets");
    py::list problems;
    if (!truthy(close_dates(datasets))) problems.append("close_price 索引为空");
    for (const char* key : kKeyDatasets)
        if (!holds(datasets, key)) problems.append(key);
    if (!truthy(metadata.attr("get")("benchmarks"))) problems.append("benchmarks");
    py::object dataset_key = service_attr("component_dataset_key");
    for (py::handle name : service_attr("COMPONENT_FACTOR_NAMES")) {
        py::object key = dataset_key(name);
        if (!truthy(datasets.attr("__contains__")(key))) problems.append(key);
    }
    return problems;
}

void validate_metadata(py::handle store) {
    if (!exists(store.attr("metadata_path"))) raise_kestrel("回测基准数据包解压后缺少元信息文件");
    py::object metadata = store.attr("load_metadata")();
    py::object datasets = entry(metadata, "datasets");
    if (!truthy(close_dates(datasets))) raise_kestrel(kIncomplete);
    for (const char* key : kKeyDatasets)
        if (!holds(datasets, key)) raise_kestrel(kIncomplete);
    if (!truthy(metadata.attr("get")("benchmarks"))) raise_kestrel(kIncomplete);
}

void log_dataset_summary(py::handle store, py::handle action) {
    py::object metadata = store.attr("load_metadata")();
    const std::vector<SummaryRow> rows = summary_rows(entry(metadata, "datasets"), entry(metadata, "benchmarks"));
    service_attr("logger").attr("info")("回测基准数据%s,各数据集最新日期:", action);
    std::size_t name_width = 0;
    for (const SummaryRow& row : rows) name_width = std::max(name_width, py::len(row.label));
    py::int_ width(name_width);
    for (const SummaryRow& row : rows) service_attr("logger").attr("info")("  %-*s  %s", width, row.label, row.latest);
}

void refresh_to_latest(py::handle self, py::handle store, py::handle after_download, py::handle rewrite_from,
                       py::handle record) {
    const bool downloaded = truthy(after_download);
    py::object datasets = store.attr("load_metadata")()[py::str("datasets")];
    PyObject* copy = PySequence_List(close_dates(datasets).ptr());
    if (copy == nullptr) throw py::error_already_set();
    py::list base_index = py::reinterpret_steal<py::list>(copy);
    if (base_index.empty()) raise_kestrel(kIncomplete);
    // Closes keep every stored day, while opens (and the forward returns ranked from them)
    // skip a day on which nothing traded: the rows to derive again are counted in each.
    std::vector<std::vector<std::string>> indexes;
    for (const char* key : {"close_price", "open_price"})
        indexes.push_back(entry(datasets, key).attr("get")("index", py::list()).cast<std::vector<std::string>>());
    py::str write_start(tail_write_start(indexes, service_attr("TAIL_RELOAD_ROWS").cast<std::size_t>(),
                                         rewrite_from.is_none() ? std::string() : rewrite_from.cast<std::string>()));
    py::object write_end = today_text();
    // Compared on the reload start: data ending today is still reloaded from the day before.
    if (truthy(write_start.attr("__ge__")(write_end))) {
        self.attr("_log_dataset_summary")(store, py::arg("action") = downloaded ? "已就绪" : "已是最新");
        return;
    }
    py::object payload = service_attr("build_incremental_write_window")(base_index, write_start, write_end);
    // The source record describes the data the payload was built from, and is committed with it.
    py::object applied = record.is_none() ? store.attr("update_tail")(payload)
                                          : store.attr("update_tail")(payload, py::arg("record") = record());
    if (!truthy(applied)) raise_kestrel("回测数据增量更新失败:基准缺失或元信息不完整");
    self.attr("_log_dataset_summary")(store, py::arg("action") = downloaded ? "已就绪并更新" : "已更新");
}

// ---- incomplete local data set aside during the new download -------------------------
//
// Incomplete local data is replaced by a fresh download, never patched: it is set aside
// before the download, put back when the download fails and discarded once the new package
// is in place. The file steps are lumora.backtest._pkg's; the decisions are taken here.

// What set_aside kept (None: nothing was kept), put back or discarded once.
class SetAside {
public:
    explicit SetAside(py::handle store_dir) : kept_(python::package_step("set_aside")(store_dir)) {}
    SetAside() = default;

    void put_back(py::handle store_dir) { finish("put_back", store_dir); }
    void discard() { finish("discard"); }

private:
    template <class... Args>
    void finish(const char* step, Args&&... args) {
        if (kept_.is_none()) return;
        python::package_step(step)(kept_, std::forward<Args>(args)...);
        kept_ = py::none();
    }

    py::object kept_ = py::none();
};

// The package is checked in its staging folder, before anything lands in the data
// directory: by the download itself (readable store, sound segments) and by the same
// completeness rules as after it.
// `record` (None, or a callable giving the source record) is written into the package before it
// lands, so the store and its record arrive in one step.
py::object download_package(py::handle self, py::handle store_dir, py::handle store_class, py::handle record) {
    py::object service = py::reinterpret_borrow<py::object>(self);
    py::object cls = py::reinterpret_borrow<py::object>(store_class);
    py::cpp_function validate([service, cls](py::object staged) { service.attr("_validate_metadata")(cls(staged)); });
    py::object download = service_attr("download_benchmark_package");
    if (record.is_none())
        download(self.attr("_http"), store_dir, py::arg("validate") = validate);
    else
        download(self.attr("_http"), store_dir, py::arg("validate") = validate, py::arg("record") = record);
    service_attr("flatten_single_subdir")(store_dir);
    py::object store = store_class(store_dir);
    self.attr("_validate_metadata")(store);
    return store;
}

bool is_kestrel_error(py::error_already_set& error) { return error.matches(service_attr("KestrelError").ptr()); }

// What is wrong with existing local data: missing datasets, then unreadable or hostile
// metadata and segments that disagree with it (headers and sizes only).
py::list local_problems(py::handle self, py::handle store) {
    py::list problems;
    try {
        problems = self.attr("_find_missing_datasets")(store);
    } catch (py::error_already_set& error) {
        if (!is_kestrel_error(error)) throw;
        problems.append(py::str(error.value()));
        return problems;
    }
    if (py::hasattr(store, "check"))
        for (py::handle problem : store.attr("check")()) problems.append(problem);
    return problems;
}

// ---- the source a store was built from ------------------------------------------------
//
// A store holds one market. The installed client's identity is recorded with the store, in
// the same commit as its data (written into a package before it lands, and with every
// update); a store recorded from another source is never touched, and one without a record is
// built anew from the installed source. A client without an identity is "unknown" and never
// refused.

// The installed client when it keeps the contract `protocol` of lumora.sources.base; None
// when it does not, or when none is installed.
py::object installed_client(const char* protocol) {
    py::object client;
    try {
        client = python::get_instance()();
    } catch (py::error_already_set& error) {
        if (!is_kestrel_error(error)) throw;
        return py::none();
    }
    return py::isinstance(client, python::source_contract(protocol)) ? client : py::none();
}

py::object current_identity() {
    py::object client = installed_client("IdentifiedSource");
    return client.is_none() ? client : client.attr("source_identity")();
}

// Whether the store's metadata names no source although the installed client has one: a store
// of an earlier version, or of a client without an identity. It may hold another market, so it
// is built anew from the installed source rather than extended.
bool unlabelled(py::handle store, py::handle identity) {
    return !identity.is_none() && py::hasattr(store, "recorded_source") && store.attr("recorded_source")().is_none();
}

// The source record every commit of a preparation writes with its data: the installed client's
// identity and, for a source that fingerprints its files, what the preparation's look at them
// held (asked after the data was built from them). None when there is nothing to record.
py::object source_record(py::handle identity, py::handle fingerprinted) {
    if (identity.is_none() && fingerprinted.is_none()) return py::none();
    py::object who = py::reinterpret_borrow<py::object>(identity);
    py::object files = py::reinterpret_borrow<py::object>(fingerprinted);
    return py::cpp_function([who, files]() {
        py::dict record;
        if (!who.is_none()) record["source"] = who;
        if (!files.is_none()) record["source_fingerprint"] = files.attr("fingerprint")();
        return record;
    });
}

// A source that fingerprints its files answers the whole preparation from one look at them
// (its `pinned()` block, entered here and left in the destructor, also while an exception
// unwinds: the error being raised is put aside around the exit, as for the lock below).
class SourceLook {
public:
    explicit SourceLook(py::handle client) {
        if (client.is_none()) return;
        block_ = client.attr("pinned")();
        block_.attr("__enter__")();
    }
    SourceLook(const SourceLook&) = delete;
    SourceLook& operator=(const SourceLook&) = delete;
    ~SourceLook() {
        if (block_.is_none()) return;
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        try {
            block_.attr("__exit__")(py::none(), py::none(), py::none());
        } catch (py::error_already_set&) {
        }
        PyErr_Restore(type, value, trace);
    }

private:
    py::object block_ = py::none();
};

void refuse_other_source(py::handle store, py::handle store_dir, py::handle identity) {
    if (identity.is_none() || !py::hasattr(store, "recorded_source")) return;
    py::object recorded = store.attr("recorded_source")();
    if (recorded.is_none() || recorded.equal(identity)) return;
    py::str message(
        "本地回测数据来自另一数据源 {},与当前数据源 {} 不同,未做任何改动;"
        "如需改用当前数据源,请删除目录 {} 后重新调用 prepare_backtest_data");
    PyErr_SetObject(service_attr("KestrelError").ptr(), message.format(recorded, identity, store_dir).ptr());
    throw py::error_already_set();
}

// The preparation lock of a store folder, held for the life of this object. Released in the
// destructor, also while an exception unwinds: the error being raised is put aside around
// the release so that closing the descriptor cannot replace or lose it.
class PreparationLock {
public:
    explicit PreparationLock(py::handle store_dir) : fd_(python::package_step("lock_preparation")(store_dir)) {}
    PreparationLock(const PreparationLock&) = delete;
    PreparationLock& operator=(const PreparationLock&) = delete;
    ~PreparationLock() {
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        try {
            python::package_step("release")(fd_);
        } catch (py::error_already_set&) {
        }
        PyErr_Restore(type, value, trace);
    }

private:
    py::object fd_;
};

// ---- what changed in the source since the store was built -------------------------------
//
// A source that fingerprints its files (the user's own) says with each build and update
// what they held; the next preparation asks it how to catch up: new days only, a rewrite
// from the earliest changed date, or a whole new build when dates or stocks left it.

struct UpdatePlan {
    std::string kind = "tail";     // "tail", "from" or "full"
    py::object from = py::none();  // the date to rewrite from ("from")
    py::object reason = py::str("");
};

UpdatePlan update_plan(py::handle client, py::handle store) {
    UpdatePlan plan;
    if (client.is_none()) return plan;
    py::object recorded = store.attr("recorded_fingerprint")();
    if (recorded.is_none()) return plan;
    py::tuple answer = client.attr("update_plan")(recorded);
    plan.kind = answer[0].cast<std::string>();
    plan.from = answer[1];
    plan.reason = answer[2];
    return plan;
}

void prepare_backtest_data(py::handle self) {
    py::object store_dir = service_attr("Path")(service_attr("_DEFAULT_DATA_DIR"));
    // One preparation of a folder at a time, across processes: what is there (and which
    // source recorded it) is read only once the lock is held, so a second preparation of
    // another source waits and then meets the "another data source" refusal, never a
    // store half written by the first.
    const PreparationLock lock(store_dir);
    py::object store_class = service_attr("BinaryPreparedDataStore");
    py::object store = store_class(store_dir);
    py::object identity = current_identity();
    py::object fingerprinted = installed_client("FingerprintedSource");
    const SourceLook look(fingerprinted);
    py::object record = source_record(identity, fingerprinted);
    SetAside aside;
    py::list problems;
    UpdatePlan plan;
    if (exists(store.attr("metadata_path"))) {
        refuse_other_source(store, store_dir, identity);
        problems = local_problems(self, store);
        if (problems.empty() && unlabelled(store, identity)) {
            plan.kind = "full";
            service_attr("logger").attr("warning")(
                "本地回测数据未记录其数据源 (可能来自被中断的准备或旧版本),将按当前数据源 %s 完整重建", identity);
        } else if (problems.empty()) {
            plan = update_plan(fingerprinted, store);
            if (plan.kind == "full")
                service_attr("logger").attr("info")("数据源有改动,本地回测数据将完整重建: %s", plan.reason);
        }
    }
    if (!problems.empty())
        service_attr("logger").attr("warning")("本地回测数据不完整或已损坏,将重新下载完整数据包: %s",
                                               py::str("; ").attr("join")(problems));
    if (!problems.empty() || plan.kind == "full") {
        aside = SetAside(store_dir);
        store = store_class(store_dir);
    }
    bool downloaded = false;
    if (!exists(store.attr("metadata_path"))) {
        try {
            store = download_package(self, store_dir, store_class, record);
        } catch (...) {
            aside.put_back(store_dir);
            throw;
        }
        aside.discard();
        downloaded = true;
        if (!problems.empty())
            service_attr("logger").attr("info")("本地回测数据已修复 (重新下载): %s",
                                                py::str("; ").attr("join")(problems));
    }
    if (plan.kind == "from")
        service_attr("logger").attr("info")("数据源自 %s 起有改动,本地回测数据自该日起重写: %s", plan.from,
                                            plan.reason);
    self.attr("_refresh_to_latest")(store, py::arg("after_download") = downloaded, py::arg("rewrite_from") = plan.from,
                                    py::arg("record") = record);
    python::package_step("remove_leftovers")(store_dir);
}

// ---- registration -------------------------------------------------------------------

template <class Fn, class... Extra>
void add_method(py::handle cls, const char* name, Fn&& fn, const Extra&... extra) {
    cls.attr(name) = py::cpp_function(std::forward<Fn>(fn), py::name(name), py::is_method(cls), extra...);
}

template <class Fn, class... Extra>
void add_static(py::handle cls, const char* name, Fn&& fn, const Extra&... extra) {
    cls.attr(name) = py::staticmethod(py::cpp_function(std::forward<Fn>(fn), py::name(name), extra...));
}

}  // namespace

void add_preparation_workflow(py::handle cls) {
    add_method(cls, "prepare_backtest_data", &prepare_backtest_data,
               "Bring the local benchmark data up to date: download it when there is none or it is\n"
               "incomplete, then update its tail incrementally up to today, and log every dataset's\n"
               "latest date.");
    add_method(cls, "_refresh_to_latest", &refresh_to_latest, py::arg("store"), py::kw_only(),
               py::arg("after_download"), py::arg("rewrite_from") = py::none(), py::arg("record") = py::none(),
               "Rewrite the stored tail up to today when the reload start (or rewrite_from, when earlier) lies\n"
               "before it; record (None, or a callable giving the source record) is committed with the rows.");
    add_static(cls, "_find_missing_datasets", &find_missing_datasets, py::arg("store"),
               "What the local data lacks (empty close dates, key datasets, benchmarks, membership tables).");
    add_static(cls, "_validate_metadata", &validate_metadata, py::arg("store"),
               "Refuse a downloaded package without metadata, close dates, a key dataset or benchmarks.");
    add_static(cls, "_log_dataset_summary", &log_dataset_summary, py::arg("store"), py::kw_only(), py::arg("action"),
               "Log every dataset's latest date under a heading naming the action.");
}

}  // namespace lumora::service
