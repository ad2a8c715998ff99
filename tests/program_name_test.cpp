// Which program names the tool accepts, and the section each one names.
#include "tool/program_name.h"

#include <gtest/gtest.h>

#include <string>

#include "section/section_catalogue.h"

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
