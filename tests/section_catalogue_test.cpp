// Kind selection and the catalogue's shape.
#include "section/section_catalogue.h"

#include <gtest/gtest.h>

TEST(SectionKind, FirstMatchingSubstringWinsAndCaseCounts) {
  EXPECT_EQ(section_kind_of("vrf12"), section_kind::vrf1);
  EXPECT_EQ(section_kind_of("vrf"), section_kind::vrf);
  EXPECT_EQ(section_kind_of("vrf4"), section_kind::vrf);
  EXPECT_EQ(section_kind_of("mpls_vrf2_global"), section_kind::global);
  EXPECT_EQ(section_kind_of("xvrf3"), section_kind::vrf3);
  EXPECT_EQ(section_kind_of("mpls"), section_kind::mpls);
  EXPECT_EQ(section_kind_of("pim_sm"), section_kind::pim_sm);
  EXPECT_EQ(section_kind_of("PIM_SM"), section_kind::generic);
  EXPECT_EQ(section_kind_of("ospf"), section_kind::generic);
}

TEST(SectionCatalogue, RowsPerKindInBlockOrder) {
  const auto keys_of = [](std::string_view token, std::string_view infix) {
    std::vector<std::string> keys;
    for (const auto& row : section_catalogue()) {
      if (section_row_applies(row, section_kind_of(token))) {
        keys.push_back(section_row_key(row, infix));
      }
    }
    return keys;
  };
  EXPECT_EQ(keys_of("global", "GLOBAL"),
            (std::vector<std::string>{"MOD_TAL_GLOBAL_ENABLED", "MOD_TAL_GLOBAL_LOG_LEVEL"}));
  EXPECT_EQ(keys_of("ospf", "OSPF"),
            (std::vector<std::string>{"MOD_TAL_OSPF_ENABLED", "MOD_TAL_OSPF_CONF"}));
  EXPECT_EQ(keys_of("mpls", "MPLS").size(), 7U);
  const auto pim = keys_of("pim_sm", "PIM_SM");
  ASSERT_EQ(pim.size(), 1U + 8U + 48U + 1U);
  EXPECT_EQ(pim[9], "MOD_TAL_PIM_SM_IFACE0_ENABLED");
  EXPECT_EQ(pim[56], "MOD_TAL_PIM_SM_IFACE11_PASSIVE");
  EXPECT_EQ(pim.back(), "MOD_TAL_PIM_SM_CONF");
  EXPECT_TRUE(section_has_conf(section_kind::generic));
  EXPECT_FALSE(section_has_conf(section_kind::vrf));
}
