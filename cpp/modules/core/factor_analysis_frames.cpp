// The factor analysis record of a group backtest: the native figures laid out as frames.

#include "core/factor_analysis_frames.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <string>

#include "common/frame_bridge.hpp"
#include "core/group_bindings.hpp"
#include "lumora/date_window.hpp"
#include "lumora/factor_analysis.hpp"

namespace lumora::core {

namespace {

constexpr const char* kMomentColumns[] = {"mean",           "std", "ir", "t_stat", "p_value", "skew", "kurtosis",
                                          "share_positive", "days"};
constexpr const char* kGroupColumns[] = {"annual_return", "sharpe", "max_drawdown", "turnover_daily"};

py::object horizon_index() {
    py::list horizons;
    for (const int h : kIcHorizons) horizons.append(h);
    return bridge::pandas().attr("Index")(horizons, py::arg("name") = "horizon_days");
}

py::object columns_of(const char* const* names, std::size_t count) {
    py::list out;
    for (std::size_t k = 0; k < count; ++k) out.append(names[k]);
    return out;
}

// n_rows x kHorizonCount, with column 0 of the Rank IC taken from the engine.
py::object horizon_frame(const std::vector<double>& table, const std::vector<double>* first_column, py::handle dates) {
    const auto rows = static_cast<py::ssize_t>(table.size() / kHorizonCount);
    py::array_t<double> values({rows, static_cast<py::ssize_t>(kHorizonCount)});
    std::copy(table.begin(), table.end(), values.mutable_data());
    if (first_column != nullptr)
        for (py::ssize_t r = 0; r < rows; ++r)
            values.mutable_data()[r * static_cast<py::ssize_t>(kHorizonCount)] =
                (*first_column)[static_cast<std::size_t>(r)];
    return bridge::frame(values, dates, horizon_index());
}

void put_moments(double* row, const Moments& m) {
    const double values[] = {m.mean,
                             m.std,
                             m.mean / m.std,
                             m.t_stat,
                             m.p_value,
                             m.skew,
                             m.kurtosis,
                             m.share_positive,
                             static_cast<double>(m.count)};
    std::copy(std::begin(values), std::end(values), row);
    if (!(m.std > 0.0)) row[2] = kNaN;
}

py::object summary_frame(const FactorAnalysisFigures& f) {
    constexpr std::size_t kColumns = std::size(kMomentColumns);
    py::array_t<double> values({static_cast<py::ssize_t>(2 * kHorizonCount), static_cast<py::ssize_t>(kColumns)});
    py::list tuples;
    for (std::size_t k = 0; k < kHorizonCount; ++k) {
        put_moments(values.mutable_data() + k * kColumns, f.ic[k]);
        put_moments(values.mutable_data() + (kHorizonCount + k) * kColumns, f.rank_ic[k]);
    }
    for (const char* measure : {"ic", "rank_ic"})
        for (const int h : kIcHorizons) tuples.append(py::make_tuple(measure, h));
    py::list names;
    names.append("measure");
    names.append("horizon_days");
    py::object index = bridge::pandas().attr("MultiIndex").attr("from_tuples")(tuples, py::arg("names") = names);
    py::object frame = bridge::frame(values, index, columns_of(kMomentColumns, kColumns));
    return frame.attr("astype")(py::dict(py::arg("days") = "int64"));
}

py::object group_frame(const FactorAnalysisFigures& f) {
    const auto groups = f.groups.size();
    constexpr std::size_t kColumns = std::size(kGroupColumns);
    py::array_t<double> values({static_cast<py::ssize_t>(groups + 1), static_cast<py::ssize_t>(kColumns)});
    double* p = values.mutable_data();
    py::list labels;
    for (std::size_t g = 0; g <= groups; ++g) {
        const ReturnFigures& r = g < groups ? f.groups[g] : f.long_short;
        const double turnover = g < groups ? f.group_turnover[g] : f.long_short_turnover;
        const double row[] = {r.annual_return, r.sharpe, r.max_drawdown, turnover};
        std::copy(std::begin(row), std::end(row), p + g * kColumns);
        if (g < groups)
            labels.append(py::int_(g + 1));
        else
            labels.append("top_minus_bottom");
    }
    py::object index = bridge::pandas().attr("Index")(labels, py::arg("dtype") = "object", py::arg("name") = "group");
    return bridge::frame(values, index, columns_of(kGroupColumns, kColumns));
}

// groups x horizons (row-major) as a frame of groups 1..N by horizon_days, scaled.
py::object by_group_and_horizon(const std::vector<double>& values, double scale) {
    const auto groups = static_cast<py::ssize_t>(values.size() / kHorizonCount);
    py::array_t<double> cells({groups, static_cast<py::ssize_t>(kHorizonCount)});
    for (std::size_t k = 0; k < values.size(); ++k) cells.mutable_data()[k] = values[k] * scale;
    py::list labels;
    for (py::ssize_t g = 1; g <= groups; ++g) labels.append(g);
    return bridge::frame(cells, bridge::pandas().attr("Index")(labels, py::arg("name") = "group"), horizon_index());
}

// rows x horizons from a horizon-major table (kHorizonCount x rows).
py::object by_date_and_horizon(const std::vector<double>& horizon_major, py::handle dates) {
    const std::size_t rows = horizon_major.size() / kHorizonCount;
    py::array_t<double> cells({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(kHorizonCount)});
    for (std::size_t k = 0; k < kHorizonCount; ++k)
        for (std::size_t r = 0; r < rows; ++r)
            cells.mutable_data()[r * kHorizonCount + k] = horizon_major[k * rows + r];
    return bridge::frame(cells, dates, horizon_index());
}

py::object industry_frame(const std::vector<IndustryFigures>& industries) {
    const auto count = static_cast<py::ssize_t>(industries.size());
    py::array_t<double> codes(count), means(count), stocks(count);
    py::array_t<std::int64_t> days(count);
    for (py::ssize_t k = 0; k < count; ++k) {
        const IndustryFigures& f = industries[static_cast<std::size_t>(k)];
        codes.mutable_data()[k] = f.code;
        means.mutable_data()[k] = f.rank_ic_mean;
        days.mutable_data()[k] = f.days;
        stocks.mutable_data()[k] = f.stocks_mean;
    }
    py::dict columns;
    columns["rank_ic_mean"] = means;
    columns["days"] = days;
    columns["stocks_mean"] = stocks;
    py::module_ pd = bridge::pandas();
    return pd.attr("DataFrame")(columns, py::arg("index") = pd.attr("Index")(codes, py::arg("name") = "industry"));
}

}  // namespace

py::object factor_analysis_record(const GroupOutputs& out, py::handle dates,
                                  const std::vector<std::int64_t>& traded_rows) {
    const std::vector<std::int32_t> months = month_keys(bridge::labels_as_text(dates));
    FactorAnalysisFigures f;
    {
        // No Python inside: reads the native engine outputs and the month keys, writes only `f`.
        py::gil_scoped_release release;
        f = factor_analysis_figures(out, traded_rows, months);
    }
    const int groups = out.group_num;
    const auto rows = static_cast<std::size_t>(out.n_rows);
    py::list group_labels;
    for (int g = 1; g <= groups; ++g) group_labels.append(g);
    py::object group_index = bridge::pandas().attr("Index")(group_labels, py::arg("name") = "group");
    // Lag 1 leads the horizon-major tables.
    py::array_t<double> turnover({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(groups)});
    std::copy_n(out.dates.turnover.begin(), rows * static_cast<std::size_t>(groups), turnover.mutable_data());
    const std::vector<double> autocorr_lag1(out.dates.rank_autocorr.begin(),
                                            out.dates.rank_autocorr.begin() + static_cast<std::ptrdiff_t>(rows));

    py::dict summary;
    for (const NamedFigure& figure : factor_summary_figures(f)) summary[figure.key] = figure.value;

    constexpr double kBasisPoints = 1e4;
    return python::factor_analysis_record_type()(
        py::arg("ic") = horizon_frame(out.dates.ic, nullptr, dates),
        py::arg("rank_ic") = horizon_frame(out.dates.rank_ic, &out.rank_ic, dates),
        py::arg("ic_summary") = summary_frame(f),
        py::arg("monthly_rank_ic") = bridge::month_grid_frame(month_grid(f.monthly_rank_ic, f.monthly_rank_ic.means)),
        py::arg("group_turnover") = bridge::frame(turnover, dates, group_index),
        py::arg("rank_autocorrelation") =
            bridge::series(bridge::vector_array(autocorr_lag1), dates, py::str("rank_autocorrelation")),
        py::arg("coverage") = bridge::series(bridge::vector_array(f.coverage), dates, py::str("coverage")),
        py::arg("group_performance") = group_frame(f), py::arg("monotonicity") = f.monotonicity,
        py::arg("summary") = summary, py::arg("turnover_by_horizon") = by_group_and_horizon(f.turnover_by_lag, 1.0),
        py::arg("rank_autocorrelation_by_horizon") = by_date_and_horizon(out.dates.rank_autocorr, dates),
        py::arg("mean_return_by_group_bps") = by_group_and_horizon(f.group_mean_return, kBasisPoints),
        py::arg("mean_return_by_group_std_err_bps") = by_group_and_horizon(f.group_mean_return_se, kBasisPoints),
        py::arg("rank_ic_by_industry") = industry_frame(f.industries));
}

}  // namespace lumora::core
