#include "lumora/dataset_catalogue.hpp"

#include <gtest/gtest.h>

namespace cat = lumora::catalogue;

TEST(DatasetCatalogue, ComponentKeysFollowTheTwelveBaseKeys) {
    const cat::DtypeTable table = cat::matrix_dtype_with_components({"component__x", "component__y", "component__x"});
    ASSERT_EQ(table.size(), 14u);
    EXPECT_EQ(table[0].first, "industry_matrix");
    EXPECT_EQ(table[9], (std::pair<std::string, std::string>{"can_buy_stock", "bool"}));
    EXPECT_EQ(table[12], (std::pair<std::string, std::string>{"component__x", "float64"}));
    EXPECT_EQ(table[13].first, "component__y");
    EXPECT_EQ(cat::matrix_dtype_with_components({}).size(), 12u);
}

TEST(DatasetCatalogue, IndexCodeOfComponentName) {
    EXPECT_EQ(cat::index_code_of_component("rq_index_components_new_932000.INDX"), "932000");
    EXPECT_EQ(cat::index_code_of_component("plain"), "plain");
    EXPECT_EQ(cat::index_code_of_component("a_b.c.d"), "b");
}

TEST(DatasetCatalogue, UniverseTableOfTheBuiltInNames) {
    std::vector<std::string> names(cat::kComponentFactorNames.begin(), cat::kComponentFactorNames.end());
    const auto table = cat::universe_table(names);
    ASSERT_EQ(table.size(), 5u);
    EXPECT_EQ(table[0].first, "000300");
    EXPECT_EQ(table[3], (std::pair<std::string, std::string>{"399303", "rq_index_components_new_399303.XSHE"}));
    // A later name with the same code replaces the earlier one in place.
    const auto replaced = cat::universe_table({"a_000300.X", "b_000905.X", "c_000300.Y"});
    ASSERT_EQ(replaced.size(), 2u);
    EXPECT_EQ(replaced[0].second, "c_000300.Y");
}
