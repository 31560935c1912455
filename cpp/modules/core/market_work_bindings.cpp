// The market's work kept with a loaded market, and how a changed table is never served
// stale: every request fingerprints the tables the work derives from and rebuilds it when
// the fingerprint differs from the one it was built on.

#include "core/market_work_bindings.hpp"

#include <pybind11/numpy.h>

#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/frame_bridge.hpp"

namespace lumora::core {

namespace {

// The loaded tables the work derives from (open, close, split, dividend) and the one whose
// columns are its stocks.
constexpr const char* kWorkTables[] = {"open_price", "close_price", "rq_get_split", "rq_get_dividend"};
constexpr const char* kStockTable = "close_price_valid";
constexpr const char* kRankTable = "forward_return_rank_cache";

// What a table held when it was read. Labels are pandas Index objects, which cannot change
// in place: they are kept and compared. Cells are compared by an XXH3-128 digest of their
// bytes, except where they can never be written (memory-mapped read-only files, as a
// mapped store's tables are): there the buffer itself is kept and compared by address, a
// cheaper test that no write can defeat.
struct TableStamp {
    py::object index, columns;
    std::string layout;  // dtype, shape and strides of the cells
    py::object digest;   // the digest (an int), or None for a frozen buffer
    py::object frozen;   // the frozen buffer, kept so that its address is not reused
    std::uintptr_t address = 0;
    py::object bytes = py::none();  // until digested: the cells in memory order (None: frozen)
};

bool same_labels(const py::object& a, const py::object& b) { return a.is(b) || bridge::truthy(a.attr("equals")(b)); }

// Whether the array's memory can never be written: a view of it cannot be made writeable.
bool frozen(const py::array& a) {
    if (a.writeable()) return false;
    py::object view = a.attr("view")();
    try {
        view.attr("flags").attr("writeable") = true;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        return true;
    }
    return false;
}

TableStamp stamp_of(py::handle table, const char* name) {
    TableStamp s;
    s.index = table.attr("index");
    s.columns = table.attr("columns");
    py::array cells = bridge::float64_values(table, name);
    s.layout = std::string(py::str(cells.dtype())) +
               std::string(py::str(py::make_tuple(cells.attr("shape"), cells.attr("strides"))));
    if (frozen(cells)) {
        s.frozen = cells;
        s.address = reinterpret_cast<std::uintptr_t>(cells.data());
        s.digest = py::none();
        return s;
    }
    // The digest reads the bytes in memory order: a column-major table as its transpose.
    const int c_order = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_;
    const int f_order = py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_;
    s.bytes = (cells.flags() & c_order) != 0   ? py::object(cells)
              : (cells.flags() & f_order) != 0 ? py::object(cells.attr("T"))
                                               : bridge::numpy().attr("ascontiguousarray")(cells);
    return s;
}

// The digests of the stamps' cells, two tables at a time: the hash lets the GIL go while it
// reads a buffer, so a second thread digesting half the tables runs on the other core while
// the request's own thread digests the rest.
void digest(std::vector<TableStamp>& stamps) {
    const py::object hash = py::module_::import("xxhash").attr("xxh3_128_intdigest");
    auto digest_from = [&](std::size_t first, std::size_t step) {
        for (std::size_t t = first; t < stamps.size(); t += step) {
            if (stamps[t].bytes.is_none()) continue;
            stamps[t].digest = hash(stamps[t].bytes);
            stamps[t].bytes = py::none();
        }
    };
    std::exception_ptr failed;
    // The helper touches Python objects only with the GIL held (acquired below; the hash
    // releases it while reading), and only the stamps of odd places, which this thread leaves
    // alone; its error, if any, is handed back through `failed` and raised here.
    std::thread helper([&] {
        const py::gil_scoped_acquire gil;
        try {
            digest_from(1, 2);
        } catch (...) {
            failed = std::current_exception();
        }
    });
    std::exception_ptr own;
    try {
        digest_from(0, 2);
    } catch (...) {
        own = std::current_exception();
    }
    {
        // Only the join is waited on, no Python object is touched; and needed: the helper
        // needs the GIL to finish its tables.
        const py::gil_scoped_release release;
        helper.join();
    }
    if (own) std::rethrow_exception(own);
    if (failed) std::rethrow_exception(failed);
}

bool same_stamp(const TableStamp& a, const TableStamp& b) {
    if (a.layout != b.layout || !same_labels(a.index, b.index) || !same_labels(a.columns, b.columns)) return false;
    if (a.digest.is_none() != b.digest.is_none()) return false;
    if (a.digest.is_none()) return a.address == b.address && a.frozen.is(b.frozen);
    return a.digest.equal(b.digest);
}

// Every table the work derives from, the stocks' labels and whether the market keeps its own
// next-open return ranks (then horizon 1 is not ranked here).
struct Fingerprint {
    std::vector<TableStamp> tables;
    py::object stocks;
    bool own_rank_table = false;

    bool operator==(const Fingerprint& other) const {
        if (own_rank_table != other.own_rank_table || !same_labels(stocks, other.stocks)) return false;
        for (std::size_t t = 0; t < tables.size(); ++t)
            if (!same_stamp(tables[t], other.tables[t])) return false;
        return true;
    }
};

// The market's tables, or none when it lacks one (its requests then have no kept work).
std::optional<Fingerprint> fingerprint(const py::dict& data) {
    Fingerprint f;
    for (const char* name : kWorkTables) {
        py::object table = data.attr("get")(name);
        if (table.is_none()) return std::nullopt;
        bridge::require_table(table, name);
        f.tables.push_back(stamp_of(table, name));
    }
    digest(f.tables);
    py::object valid = data.attr("get")(kStockTable);
    if (valid.is_none()) return std::nullopt;
    bridge::require_table(valid, kStockTable);
    f.stocks = valid.attr("columns");
    f.own_rank_table = !data.attr("get")(kRankTable).is_none();
    return f;
}

MarketWorkHandle build(const py::dict& data, const Fingerprint& f) {
    py::object calendar = data[py::str(kWorkTables[0])].attr("index");
    std::vector<bridge::AlignedTable> tables;
    for (const char* name : kWorkTables)
        tables.push_back(bridge::aligned_table(data[py::str(name)], calendar, f.stocks, name));
    MarketWork work;
    {
        // No Python inside, nor in the worker threads it starts: reads the numpy buffers
        // `tables` holds, writes only `work`.
        py::gil_scoped_release release;
        work = build_market_work(tables[0].matrix, tables[1].matrix, tables[2].matrix, tables[3].matrix,
                                 !f.own_rank_table);
    }
    return MarketWorkHandle{std::make_shared<const MarketWork>(std::move(work)), calendar, f.stocks};
}

// A loaded market's holder of its work. Threads share it, so its one piece of state, the
// work with the fingerprint it was built on, is a shared pointer read and replaced only with
// the GIL held and in plain C++ (no Python call can hand the GIL to another thread in
// between): a request takes its own copy and compares that, while another may replace the
// kept one. `building_` lets one thread build at a time; a thread waits for it with the GIL
// released (the builder needs the GIL to finish), then finds the work built and takes it if
// it fits. A table changed in place while a request is running is the caller's race, as it
// is for any request.
class MarketWorkKeeper {
public:
    py::object get(py::handle mapping) {
        if (!PyDict_Check(mapping.ptr()))
            bridge::raise_type_error("data must be a dict of the loaded tables, got " + bridge::type_name(mapping));
        const py::dict data = py::reinterpret_borrow<py::dict>(mapping);
        std::optional<Fingerprint> now = fingerprint(data);
        if (!now) return py::none();
        if (py::object fits = fitting(*now); !fits.is_none()) return fits;
        std::unique_lock<std::mutex> building(building_, std::defer_lock);
        {
            // Safe without the GIL: only the mutex is waited on, no Python object is touched;
            // and needed: the thread holding the lock is building and needs the GIL to finish.
            py::gil_scoped_release release;
            building.lock();
        }
        // Another thread may have built it meanwhile. The tables are read again for the
        // build, so that the work and its fingerprint describe the same cells.
        now = fingerprint(data);
        if (!now) return py::none();
        if (py::object fits = fitting(*now); !fits.is_none()) return fits;
        auto fresh = std::make_shared<Kept>();
        fresh->handle = build(data, *now);
        fresh->fingerprint = std::move(*now);
        std::shared_ptr<const Kept> replaced = std::move(fresh);
        std::swap(kept_, replaced);  // the old work goes once no request reads it
        return py::cast(kept_->handle);
    }

    py::object kept() const {
        const std::shared_ptr<const Kept> kept = kept_;
        return kept ? py::cast(kept->handle) : py::none();
    }

private:
    struct Kept {
        Fingerprint fingerprint;
        MarketWorkHandle handle;
    };

    // The kept work if it was built on the tables `now` describes, else None.
    py::object fitting(const Fingerprint& now) const {
        const std::shared_ptr<const Kept> kept = kept_;  // this request's own copy
        return kept && kept->fingerprint == now ? py::cast(kept->handle) : py::none();
    }

    std::mutex building_;
    std::shared_ptr<const Kept> kept_;
};

}  // namespace

void register_market_work(py::module_& m) {
    py::class_<MarketWorkHandle>(m, "MarketWork",
                                 "The market's share of the factor analysis, built once per loaded market: the opens "
                                 "adjusted\nfor splits and dividends and every date's forward returns ranked at 1, 5, "
                                 "10 and 20 days.")
        .def_property_readonly(
            "nbytes", [](const MarketWorkHandle& h) { return h.work->bytes(); }, "Memory it holds, in bytes.")
        .def_property_readonly(
            "shape", [](const MarketWorkHandle& h) { return py::make_tuple(h.work->rows, h.work->cols); },
            "(dates, stocks) of the market it was built on.")
        .def_property_readonly(
            "ranked_horizons",
            [](const MarketWorkHandle& h) {
                py::list out;
                for (std::size_t k = 0; k < kHorizonCount; ++k)
                    if (h.work->ranked(k)) out.append(kIcHorizons[k]);
                return out;
            },
            "Horizons (days) whose forward returns it holds ranked.")
        .def("__repr__", [](const MarketWorkHandle& h) {
            return py::str("MarketWork({} dates x {} stocks, {:.1f} MB)")
                .format(h.work->rows, h.work->cols, static_cast<double>(h.work->bytes()) / 1e6);
        });

    py::class_<MarketWorkKeeper>(m, "MarketWorkKeeper",
                                 "A loaded market's holder of its MarketWork: built at the first factor request, "
                                 "reused by\nlater ones, built again when a table it derives from has changed.")
        .def(py::init<>())
        .def("get", &MarketWorkKeeper::get, py::arg("data"),
             "The work of the loaded tables `data` (a dict), built now if none fits them; None when the market\n"
             "lacks a table it derives from.")
        .def_property_readonly("kept", &MarketWorkKeeper::kept, "The work kept now, or None.");
}

}  // namespace lumora::core
