#include "lumora/name_list.hpp"

#include <cstdint>
#include <unordered_set>

namespace lumora {

namespace {

// The code points str.isspace() accepts.
bool is_unicode_space(std::uint32_t cp) {
    if ((cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20)) return true;
    switch (cp) {
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

// Length in bytes of the UTF-8 sequence starting with `lead` (1 for a stray byte, so
// malformed input is walked byte by byte and never treated as space).
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

std::uint32_t decode(std::string_view s, std::size_t pos, std::size_t len) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[pos + i]); };
    if (len == 1) return byte(0);
    std::uint32_t cp = byte(0) & (0x7F >> len);
    for (std::size_t i = 1; i < len; ++i) cp = (cp << 6) | (byte(i) & 0x3F);
    return cp;
}

bool well_formed(std::string_view s, std::size_t pos, std::size_t len) {
    if (pos + len > s.size()) return false;
    for (std::size_t i = 1; i < len; ++i)
        if ((static_cast<unsigned char>(s[pos + i]) & 0xC0) != 0x80) return false;
    return true;
}

// Byte offsets of the code points of `s`; a malformed byte counts as one code point.
std::vector<std::size_t> code_point_starts(std::string_view s) {
    std::vector<std::size_t> starts;
    for (std::size_t pos = 0; pos < s.size();) {
        starts.push_back(pos);
        const std::size_t len = sequence_length(static_cast<unsigned char>(s[pos]));
        pos += well_formed(s, pos, len) ? len : 1;
    }
    return starts;
}

bool space_at(std::string_view s, std::size_t start, std::size_t end) {
    const std::size_t len = end - start;
    if (len != sequence_length(static_cast<unsigned char>(s[start]))) return false;
    return is_unicode_space(decode(s, start, len));
}

}  // namespace

std::string strip_unicode_space(std::string_view text) {
    const std::vector<std::size_t> starts = code_point_starts(text);
    std::size_t first = 0;
    std::size_t last = starts.size();
    const auto end_of = [&](std::size_t i) { return i + 1 < starts.size() ? starts[i + 1] : text.size(); };
    while (first < last && space_at(text, starts[first], end_of(first))) ++first;
    while (last > first && space_at(text, starts[last - 1], end_of(last - 1))) --last;
    if (first == last) return {};
    return std::string(text.substr(starts[first], end_of(last - 1) - starts[first]));
}

std::vector<std::string> split_name_text(std::string_view text) {
    static constexpr std::string_view kSeparators[] = {"\xEF\xBC\x8C" /* ， */, "\xEF\xBC\x9B" /* ； */, ";", "\n",
                                                       ","};
    std::vector<std::string> parts;
    std::string current;
    for (std::size_t pos = 0; pos < text.size();) {
        bool separated = false;
        for (std::string_view sep : kSeparators) {
            if (text.substr(pos, sep.size()) == sep) {
                parts.push_back(std::move(current));
                current.clear();
                pos += sep.size();
                separated = true;
                break;
            }
        }
        if (!separated) current.push_back(text[pos++]);
    }
    parts.push_back(std::move(current));
    return parts;
}

std::vector<std::string> clean_names(const std::vector<std::string>& raw) {
    std::vector<std::string> out;
    out.reserve(raw.size());
    for (const std::string& item : raw) {
        std::string name = strip_unicode_space(item);
        if (!name.empty()) out.push_back(std::move(name));
    }
    return out;
}

std::vector<std::string> unique_keep_first(const std::vector<std::string>& names) {
    std::unordered_set<std::string> seen;
    std::vector<std::string> out;
    for (const std::string& name : names)
        if (seen.insert(name).second) out.push_back(name);
    return out;
}

}  // namespace lumora
