// Kind selection, the catalogue's shape, and which program names the tool
// accepts.
#include "section/section_catalogue.h"

#include <gtest/gtest.h>

#include "tool/program_name.h"

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

TEST(ProgramName, AcceptedNamesGiveTokenAndUpperCaseInfix) {
  for (const char* token :
       {"global", "vrf", "vrf1", "vrf2", "vrf3", "mpls", "pim_sm", "ospf", "ospf6", "bgp", "a",
        "x234567890123456789012345678901234567890123456789"
        "01234567890123"}) {
    std::string why;
    section_name name;
    ASSERT_TRUE(
        section_name_from_program(std::string("/usr/bin/tal-setconf-") + token, &name, &why))
        << token << ": " << why;
    EXPECT_EQ(name.token, token);
    EXPECT_EQ(name.kind, section_kind_of(token));
    // The loader looks for every key at the section's pattern.
    for (const auto& row : section_catalogue()) {
      EXPECT_TRUE(!section_row_applies(row, name.kind) ||
                  section_row_key(row, name.key_infix).starts_with(section_pattern(name.key_infix)))
          << token;
    }
  }
  std::string why;
  section_name name;
  ASSERT_TRUE(section_name_from_program("tal-setconf-pim_sm", &name, &why));
  EXPECT_EQ(name.key_infix, "PIM_SM");
  ASSERT_TRUE(section_name_from_program("./tal-setconf-ospf6", &name, &why));
  EXPECT_EQ(name.key_infix, "OSPF6");
}

TEST(ProgramName, RefusedNames) {
  for (const char* path :
       {"tal-setconf", "/usr/bin/tal-setconf", "tal-setconf-", "setconf-ospf", "xtal-setconf-ospf",
        "tal-setconf-OSPF", "tal-setconf-os pf", "tal-setconf-os-pf", "tal-setconf-vrf12",
        "tal-setconf-globalx", "tal-setconf-mpls2", "tal-setconf-ospf_2", "tal-setconf-pim",
        "tal-setconf-pim_s",
        "tal-setconf-x2345678901234567890123456789012345678901234567890"
        "123456789012345"}) {
    std::string why;
    section_name name;
    EXPECT_FALSE(section_name_from_program(path, &name, &why)) << path;
    EXPECT_FALSE(why.empty()) << path;
  }
  // The reason names what is wrong, for the log.
  std::string why;
  section_name name;
  section_name_from_program("tal-setconf-pim", &name, &why);
  EXPECT_EQ(why, "its key pattern matches keys of pim_sm");
  section_name_from_program("tal-setconf-vrf12", &name, &why);
  EXPECT_EQ(why, "its section name contains vrf1 without being that section");
}
