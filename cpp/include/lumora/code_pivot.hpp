#pragma once
// Narrow factor rows (date, instrument, value) spread into a dates x instruments table.
//
// The binding layer turns the date and instrument labels into codes first (positions in
// their sorted distinct labels, -1 for a missing label), so this works on integers only.
// Rows with a missing label or a NaN value are left out; of several rows for the same
// cell the last one wins. The table has exactly the dates and instruments that occur in
// the rows kept, in code order.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {

struct NarrowRows {
    const std::int64_t* date_code = nullptr;
    const std::int64_t* instrument_code = nullptr;
    const double* value = nullptr;
    // Optional: the group of each row; only rows of `group` are used.
    const std::int64_t* group_code = nullptr;
    std::int64_t group = 0;
    std::size_t count = 0;
    std::int64_t date_labels = 0;        // codes lie in [0, date_labels)
    std::int64_t instrument_labels = 0;  // codes lie in [0, instrument_labels)
};

class CodePivot {
public:
    explicit CodePivot(const NarrowRows& rows);

    // The codes of the table's rows and columns, ascending.
    const std::vector<std::int64_t>& date_codes() const { return dates_; }
    const std::vector<std::int64_t>& instrument_codes() const { return instruments_; }

    // Writes the table column-major into `out` (dates x instruments cells), NaN where no
    // row gave a value.
    void fill(double* out) const;

private:
    bool kept(std::size_t i) const;

    NarrowRows rows_;
    std::vector<std::int64_t> dates_;
    std::vector<std::int64_t> instruments_;
    std::vector<std::int64_t> date_slot_;        // code -> row of the table, -1 if unused
    std::vector<std::int64_t> instrument_slot_;  // code -> column of the table, -1 if unused
};

// out[i] = mapping[codes[i]], or -1 where codes[i] is -1 (codes of codes).
void remap_codes(const std::int64_t* codes, std::size_t count, const std::vector<std::int64_t>& mapping,
                 std::int64_t* out);

}  // namespace lumora
