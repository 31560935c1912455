#pragma once
// What the prepared data consists of: the source factors the builder reads, the benchmark
// indices, the index-membership factors, and the key and storage type of every prepared
// matrix. The extension modules publish these as Python constants.

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumora::catalogue {

inline constexpr std::string_view kFloatStorage = "float64";
inline constexpr std::string_view kBoolStorage = "bool";
// Trailing local trading days an incremental update re-reads and rewrites.
inline constexpr int kTailReloadRows = 2;
inline constexpr int kPreparedDataVersion = 1;

inline constexpr std::array<std::string_view, 5> kComponentFactorNames = {
    "rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG", "rq_index_components_new_000852.XSHG",
    "rq_index_components_new_399303.XSHE", "rq_index_components_new_932000.INDX"};

// Benchmark short name -> exchange-qualified index code, primary benchmark first.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kBenchmarkIndexCodes = {
    {{"000852", "000852.XSHG"}, {"000300", "000300.XSHG"}, {"000905", "000905.XSHG"}}};

inline constexpr std::array<std::string_view, 7> kRequiredFactorNames = {
    "rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open", "tick_vwap_price_935_1005",
    "tick_vwap_price_925_1000"};

inline constexpr std::array<std::string_view, 3> kOptionalFactorNames = {"split_coefficient_to", "rq_get_dividend",
                                                                         "rq_is_suspended"};

// Dataset key -> storage dtype of the twelve matrices every backtest reads, in the
// order the store lists and loads them.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 12> kBaseMatrixDtype = {{
    {"industry_matrix", kFloatStorage},
    {"close_price", kFloatStorage},
    {"open_price", kFloatStorage},
    {"close_price_valid", kFloatStorage},
    {"prev_close", kFloatStorage},
    {"buy_price", kFloatStorage},
    {"sell_price", kFloatStorage},
    {"rq_get_split", kFloatStorage},
    {"rq_get_dividend", kFloatStorage},
    {"can_buy_stock", kBoolStorage},
    {"cant_sell_stock", kBoolStorage},
    {"forward_return_rank_cache", kFloatStorage},
}};

using DtypeTable = std::vector<std::pair<std::string, std::string>>;

// The base table followed by one float64 entry per component key, in order; a key
// that is already present keeps its first position and type.
DtypeTable matrix_dtype_with_components(const std::vector<std::string>& component_keys);

// The six-digit index code a membership factor belongs to: the part of the name after
// its last '_', cut before its first '.' ("rq_index_components_new_000300.XSHG" ->
// "000300").
std::string index_code_of_component(std::string_view component_name);

// Whether `given` (any letter case) names the index `qualified` ("000300.XSHG"): its six
// digits alone, or followed by a mark of the index's own exchange in any of the forms data
// vendors write ("000300.SH", ".SS", ".SHSE", ".XSHG"; "399303.SZ", ".SZSE", ".XSHE") or by
// the index compiler's mark (".CSI", ".CNI", ".INDX").
bool names_index(std::string_view given, std::string_view qualified);

// Index code -> membership factor name for every given name, in order; a later name
// with the same code replaces an earlier one in place.
std::vector<std::pair<std::string, std::string>> universe_table(const std::vector<std::string>& component_names);

}  // namespace lumora::catalogue
