// Invocations the tool refuses, through the real binary: exit status 1 and
// the settings file byte-identical.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

constexpr std::string_view settings = "A=1\nMOD_TAL_PIM_SM_ENABLED=1\nMOD_TAL_OSPF_ENABLED=1\n";

struct invocation : ::testing::Test {
  device_root root;
  void SetUp() override {
    SKIP_WITHOUT_SANDBOX();
    root.set_settings(settings);
  }
};

}  // namespace

TEST_F(invocation, RefusedProgramNamesTouchNothing) {
  const std::string in = root.input("text");
  for (const char* token : {"vrf12", "globalx", "mpls2", "pim", "ospf_2", "OSPF", "pim_s"}) {
    EXPECT_EQ(root.run(token, {in}), 1) << token;
  }
  for (const char* program : {"tal-setconf", "tal-setconf-", "setconf-ospf"}) {
    EXPECT_EQ(wait_exit_status(root.start_as(program, {in})), 1) << program;
  }
  EXPECT_EQ(root.settings_content(), settings);
  EXPECT_TRUE(dir_names(root.dir / "tmp").empty());
}

TEST_F(invocation, BadArgumentsAndUnreadableInput) {
  const std::string in = root.input("text");
  EXPECT_EQ(root.run("ospf", std::vector<std::string>{}), 1);
  EXPECT_EQ(root.run("ospf", {in, in}), 1);
  EXPECT_EQ(root.run("ospf", {""}), 1);
  EXPECT_EQ(root.run("ospf", {"missing.txt"}), 1);
  EXPECT_EQ(root.run("ospf", {"bin"}), 1);  // a directory opens but does not read
  EXPECT_EQ(root.settings_content(), settings);
}

TEST_F(invocation, AcceptedNamesStoreTheirSection) {
  for (const char* token : {"global", "vrf", "vrf1", "mpls", "pim_sm", "ospf", "ospf6", "bgp"}) {
    EXPECT_EQ(root.run_text(token, "t"), 0) << token;
  }
  const std::string after = root.settings_content();
  for (const char* key :
       {"MOD_TAL_GLOBAL_ENABLED=0\n", "MOD_TAL_VRF_ENABLED=0\n", "MOD_TAL_VRF1_ENABLED=0\n",
        "MOD_TAL_MPLS_ENABLED=0\n", "MOD_TAL_PIM_SM_ENABLED=1\n", "MOD_TAL_OSPF_ENABLED=1\n",
        "MOD_TAL_OSPF6_ENABLED=0\n", "MOD_TAL_BGP_CONF=dA==\n"}) {
    EXPECT_NE(after.find(key), std::string::npos) << key;
  }
}
