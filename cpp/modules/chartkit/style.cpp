#include "chartkit/style.hpp"

#include <string>

#include "common/python_module.hpp"

namespace lumora::chartkit {

namespace {

// lumora's Python modules the chart kit reaches: the strategy module keeps the plot lock,
// and every file the package writes goes through one atomic-write path.
bridge::PythonModule strategy_module{"lumora.backtest._weightbook"};
bridge::PythonModule atomic_io{"lumora._atomicio"};
constexpr const char* kPlotLockName = "_MATPLOTLIB_PLOT_LOCK";

constexpr const char* kStyleSheet = "seaborn-v0_8-whitegrid";
constexpr int kPngCompressLevel = 1;

// Fonts with a true bold face first, then fonts with CJK glyphs, then the fallback.
constexpr const char* kSansSerifFonts[] = {
    "Helvetica Neue",      "Arial",  "PingFang SC",      "Noto Sans CJK SC", "Source Han Sans SC",
    "WenQuanYi Micro Hei", "SimHei", "Arial Unicode MS", "DejaVu Sans",
};

std::string output_format(const py::module_& os_path, const std::string& path) {
    std::string ext = py::str(os_path.attr("splitext")(path)[py::int_(1)]);
    std::string format = ext.size() > 1 ? ext.substr(1) : std::string();
    if (format.empty()) {
        format = py::str(py::module_::import("matplotlib").attr("rcParams")["savefig.format"]);
    }
    return py::str(py::str(format).attr("lower")());
}

}  // namespace

void configure_strategy_plot_style(py::handle plt) {
    try {
        plt.attr("style").attr("use")(kStyleSheet);
    } catch (py::error_already_set& e) {
        // A matplotlib without this sheet still draws, in the explicit settings below.
        if (!e.matches(PyExc_Exception)) throw;
    }
    py::object rc = plt.attr("rcParams");
    py::list fonts;
    for (const char* font : kSansSerifFonts) fonts.append(font);
    rc["font.sans-serif"] = fonts;
    rc["axes.unicode_minus"] = false;
    rc["axes.titleweight"] = "bold";
    rc["figure.facecolor"] = "white";
    rc["axes.facecolor"] = "#fbfbfd";
}

Pyplot drawing_preamble() {
    py::module_::import("matplotlib").attr("use")("Agg");
    Pyplot out{py::module_::import("matplotlib.pyplot"),
               py::module_::import("matplotlib.ticker").attr("PercentFormatter")};
    configure_strategy_plot_style(out.plt);
    return out;
}

void install_plot_lock(py::module_& m) { m.attr(kPlotLockName) = py::module_::import("threading").attr("RLock")(); }

py::object plot_lock() { return strategy_module.attr(kPlotLockName); }

PlotLockHold::PlotLockHold() : lock_(plot_lock()) { lock_.attr("acquire")(); }

PlotLockHold::~PlotLockHold() {
    try {
        lock_.attr("release")();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("releasing the chart lock");
    }
}

FigureCloser::~FigureCloser() {
    try {
        plt_.attr("close")(figure_);
    } catch (py::error_already_set& e) {
        // Closing cannot fail in a way the caller could act on; never throw from here.
        e.discard_as_unraisable("closing a chart figure");
    }
}

void save_figure(py::handle figure, const std::string& path, int dpi) {
    py::module_ os = py::module_::import("os");
    const std::string format = output_format(os.attr("path"), path);
    py::dict options;
    options["dpi"] = dpi;
    options["facecolor"] = figure.attr("get_facecolor")();
    options["format"] = format;
    // A chart page is mostly flat colour: the fastest zlib level costs about a sixth more
    // bytes and saves close to half of the encoding time, a third of a second per page.
    if (format == "png") options["pil_kwargs"] = py::dict(py::arg("compress_level") = kPngCompressLevel);
    // The same temporary names, fsync and rename as every other file the package writes.
    py::object figure_ref = py::reinterpret_borrow<py::object>(figure);
    py::cpp_function write([figure_ref, options](py::handle file) { figure_ref.attr("savefig")(file, **options); });
    py::object folder = os.attr("path").attr("dirname")(path);
    if (py::len(folder) > 0) os.attr("makedirs")(folder, py::arg("exist_ok") = true);
    atomic_io.attr("write_atomic")(path, write);
}

}  // namespace lumora::chartkit
