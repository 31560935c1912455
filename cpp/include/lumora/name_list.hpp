#pragma once
// Lists of names typed by people: factor names, index codes. Users paste them from
// spreadsheets and chat windows, so full-width separators and Unicode blanks are common.

#include <string>
#include <string_view>
#include <vector>

namespace lumora {

// `text` (UTF-8) without leading and trailing white space, where white space is every
// code point the host language's str.strip() removes (ASCII blanks, NEL, NBSP, the
// ideographic space U+3000, ...), so names typed with a Chinese input method compare
// equal to their plain form.
std::string strip_unicode_space(std::string_view text);

// One text of names split into parts: full-width comma, full-width semicolon, ';' and
// line feed all separate like ','. Parts are returned unstripped and may be empty.
std::vector<std::string> split_name_text(std::string_view text);

// Stripped, non-empty names in input order; repeats are kept.
std::vector<std::string> clean_names(const std::vector<std::string>& raw);

// Names in order of first occurrence.
std::vector<std::string> unique_keep_first(const std::vector<std::string>& names);

}  // namespace lumora
