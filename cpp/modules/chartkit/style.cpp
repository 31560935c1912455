#include "chartkit/style.hpp"

#include <atomic>
#include <cstdint>
#include <string>

namespace lumora::chartkit {

namespace {

constexpr const char* kStyleSheet = "seaborn-v0_8-whitegrid";
constexpr int kPngCompressLevel = 1;

// Fonts with a true bold face first, then fonts with CJK glyphs, then the fallback.
constexpr const char* kSansSerifFonts[] = {
    "Helvetica Neue",      "Arial",  "PingFang SC",      "Noto Sans CJK SC", "Source Han Sans SC",
    "WenQuanYi Micro Hei", "SimHei", "Arial Unicode MS", "DejaVu Sans",
};

std::atomic<unsigned long> temp_file_counter{0};

std::string output_format(const py::module_& os_path, const std::string& path) {
    std::string ext = py::str(os_path.attr("splitext")(path)[py::int_(1)]);
    std::string format = ext.size() > 1 ? ext.substr(1) : std::string();
    if (format.empty()) {
        format = py::str(py::module_::import("matplotlib").attr("rcParams")["savefig.format"]);
    }
    return py::str(py::str(format).attr("lower")());
}

std::string temporary_sibling(const py::module_& os, const std::string& path) {
    py::module_ os_path = os.attr("path");
    py::object directory = os_path.attr("dirname")(path);
    const std::string name = py::str(os_path.attr("basename")(path));
    // This file is compiled into more than one extension module, each with its own
    // counter: the counter's address tells the modules' temporary files apart.
    const std::string unique = std::to_string(os.attr("getpid")().cast<long>()) + "." +
                               std::to_string(reinterpret_cast<std::uintptr_t>(&temp_file_counter)) + "." +
                               std::to_string(temp_file_counter.fetch_add(1));
    return py::str(os_path.attr("join")(directory, "." + name + "." + unique + ".tmp"));
}

void remove_if_present(const py::module_& os, const std::string& path) noexcept {
    try {
        if (os.attr("path").attr("exists")(path).cast<bool>()) os.attr("unlink")(path);
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("removing a partly written chart");
    } catch (...) {
    }
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

PlotLockHold::PlotLockHold(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }

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
    const std::string temp = temporary_sibling(os, path);
    py::dict options;
    options["dpi"] = dpi;
    options["facecolor"] = figure.attr("get_facecolor")();
    options["format"] = format;
    // A chart page is mostly flat colour: the fastest zlib level costs about a sixth more
    // bytes and saves close to half of the encoding time, a third of a second per page.
    if (format == "png") options["pil_kwargs"] = py::dict(py::arg("compress_level") = kPngCompressLevel);
    try {
        figure.attr("savefig")(temp, **options);
        os.attr("replace")(temp, path);
    } catch (...) {
        remove_if_present(os, temp);
        throw;
    }
}

}  // namespace lumora::chartkit
