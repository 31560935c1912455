#include "lumora/name_list.hpp"

#include <gtest/gtest.h>

using lumora::clean_names;
using lumora::split_name_text;
using lumora::strip_unicode_space;
using lumora::unique_keep_first;
using Names = std::vector<std::string>;

TEST(StripUnicodeSpace, RemovesAsciiAndWideBlanksOnBothEnds) {
    EXPECT_EQ(strip_unicode_space("  000300\t\n"), "000300");
    EXPECT_EQ(strip_unicode_space("\xE3\x80\x80"
                                  "000905"
                                  "\xC2\xA0"),
              "000905");  // U+3000, U+00A0
    EXPECT_EQ(strip_unicode_space("a b"), "a b");
    EXPECT_EQ(strip_unicode_space(" \x1F\x0B "), "");
    EXPECT_EQ(strip_unicode_space(""), "");
}

TEST(StripUnicodeSpace, KeepsNonSpaceMultibyteAndMalformedBytes) {
    EXPECT_EQ(strip_unicode_space(" \xE6\x88\x90 "), "\xE6\x88\x90");  // 成
    // A truncated sequence is kept as it is rather than mistaken for a blank.
    EXPECT_EQ(strip_unicode_space("\xE3\x80"), "\xE3\x80");
    EXPECT_EQ(strip_unicode_space("x\xE3\xC0\xC0"), "x\xE3\xC0\xC0");
}

TEST(SplitNameText, EverySeparatorSplitsAndEmptyPartsRemain) {
    EXPECT_EQ(split_name_text("a, b\xEF\xBC\x9B"
                              "c"),
              (Names{"a", " b", "c"}));
    EXPECT_EQ(split_name_text("a\xEF\xBC\x8C"
                              "b;c\nd"),
              (Names{"a", "b", "c", "d"}));
    EXPECT_EQ(split_name_text("x,,x"), (Names{"x", "", "x"}));
    EXPECT_EQ(split_name_text(""), (Names{""}));
}

TEST(CleanNames, StripsDropsEmptyKeepsRepeats) {
    EXPECT_EQ(clean_names({"a", " b ", "", "  ", "a"}), (Names{"a", "b", "a"}));
}

TEST(UniqueKeepFirst, FirstOccurrenceWins) {
    EXPECT_EQ(unique_keep_first({"b", "a", "b", "c", "a"}), (Names{"b", "a", "c"}));
}
