#include "lumora/date_window.hpp"

#include <gtest/gtest.h>

using lumora::select_window;

TEST(DateWindow, BothBoundsIncludedAndRunDetected) {
    const std::vector<std::string> dates = {"20240101", "20240102", "20240103", "20240104"};
    const auto sel = select_window(dates, "20240102", "20240103");
    EXPECT_EQ(sel.positions, (std::vector<std::int64_t>{1, 2}));
    EXPECT_TRUE(sel.contiguous);
    EXPECT_EQ(sel.begin, 1);
    EXPECT_EQ(sel.end, 3);
}

TEST(DateWindow, StartAfterEndSelectsNothing) {
    const auto sel = select_window({"20240101", "20240102"}, "20240102", "20240101");
    EXPECT_TRUE(sel.positions.empty());
    EXPECT_EQ(sel.end - sel.begin, 0);
}

TEST(DateWindow, UnsortedLabelsGiveAGather) {
    const auto sel = select_window({"20240103", "20231231", "20240101"}, "20240101", "20241231");
    EXPECT_EQ(sel.positions, (std::vector<std::int64_t>{0, 2}));
    EXPECT_FALSE(sel.contiguous);
}

TEST(DateWindow, TextOrderNotNumericOrder) {
    // "9" sorts after "20240101" as text; labels other than YYYYMMDD follow text order.
    const auto sel = select_window({"9", "20240101", "\xE6\x97\xA5"}, "20240101", "99999999");
    EXPECT_EQ(sel.positions, (std::vector<std::int64_t>{0, 1}));
}

TEST(DateWindow, TailWriteStartCountsEachIndexInItsOwnRows) {
    using lumora::tail_write_start;
    const std::vector<std::string> closes = {"20240219", "20240221", "20240226", "20240227"};
    const std::vector<std::string> opens = {"20240219", "20240221", "20240227"};  // none traded on the 26th
    // Two closes back reach the 26th only; two opens back reach the 21st, whose forward
    // return read the two opens after it.
    EXPECT_EQ(tail_write_start({closes}, 2, ""), "20240226");
    EXPECT_EQ(tail_write_start({closes, opens}, 2, ""), "20240221");
    // Rows changed from a date: that many rows before the first one on or after it, in each.
    EXPECT_EQ(tail_write_start({closes, opens}, 2, "20240226"), "20240219");
    EXPECT_EQ(tail_write_start({closes, opens}, 2, "20240101"), "20240219");  // clamped to the first row
    EXPECT_EQ(tail_write_start({closes, {}}, 2, "20250101"), "20240226");     // an empty index counts for nothing
    EXPECT_EQ(tail_write_start({{}, {}}, 2, ""), "");
}
