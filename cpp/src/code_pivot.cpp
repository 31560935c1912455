#include "lumora/code_pivot.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace lumora {

namespace {

// Slots of the used codes in ascending code order; the used codes themselves.
std::vector<std::int64_t> assign_slots(std::vector<std::int64_t>& slot) {
    std::vector<std::int64_t> used;
    for (std::size_t code = 0; code < slot.size(); ++code) {
        if (slot[code] < 0) continue;
        slot[code] = static_cast<std::int64_t>(used.size());
        used.push_back(static_cast<std::int64_t>(code));
    }
    return used;
}

void check_code(std::int64_t code, std::int64_t labels) {
    if (code >= labels) throw std::out_of_range("label code outside its label list");
}

}  // namespace

CodePivot::CodePivot(const NarrowRows& rows)
    : rows_(rows),
      date_slot_(static_cast<std::size_t>(rows.date_labels), -1),
      instrument_slot_(static_cast<std::size_t>(rows.instrument_labels), -1) {
    for (std::size_t i = 0; i < rows_.count; ++i) {
        if (!kept(i)) continue;
        check_code(rows_.date_code[i], rows_.date_labels);
        check_code(rows_.instrument_code[i], rows_.instrument_labels);
        date_slot_[static_cast<std::size_t>(rows_.date_code[i])] = 0;
        instrument_slot_[static_cast<std::size_t>(rows_.instrument_code[i])] = 0;
    }
    dates_ = assign_slots(date_slot_);
    instruments_ = assign_slots(instrument_slot_);
}

bool CodePivot::kept(std::size_t i) const {
    if (rows_.group_code != nullptr && rows_.group_code[i] != rows_.group) return false;
    return rows_.date_code[i] >= 0 && rows_.instrument_code[i] >= 0 && !std::isnan(rows_.value[i]);
}

void CodePivot::fill(double* out) const {
    const std::size_t n_dates = dates_.size();
    const std::size_t cells = n_dates * instruments_.size();
    for (std::size_t k = 0; k < cells; ++k) out[k] = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < rows_.count; ++i) {
        if (!kept(i)) continue;
        const auto r = static_cast<std::size_t>(date_slot_[static_cast<std::size_t>(rows_.date_code[i])]);
        const auto c = static_cast<std::size_t>(instrument_slot_[static_cast<std::size_t>(rows_.instrument_code[i])]);
        out[c * n_dates + r] = rows_.value[i];  // later rows overwrite: the last one wins
    }
}

void remap_codes(const std::int64_t* codes, std::size_t count, const std::vector<std::int64_t>& mapping,
                 std::int64_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t code = codes[i];
        if (code < 0) {
            out[i] = -1;
            continue;
        }
        if (static_cast<std::size_t>(code) >= mapping.size()) throw std::out_of_range("code outside its mapping");
        out[i] = mapping[static_cast<std::size_t>(code)];
    }
}

}  // namespace lumora
