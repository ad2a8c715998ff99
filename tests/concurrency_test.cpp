// Runs at the same time take turns: none loses another's section.
#include <gtest/gtest.h>

#include "e2e_support.h"

TEST(concurrency, SixteenSectionsAtOnceAllLand) {
  SKIP_WITHOUT_SANDBOX();
  device_root root;
  std::string others;
  for (int i = 0; i < 200; ++i) {
    others += "MOD_TAL_KEEP" + std::to_string(i) + "_ENABLED=" + std::to_string(i % 2) + "\n";
  }
  root.set_settings(others);
  const std::vector<std::string> tokens{"global", "vrf1", "vrf2",  "vrf3", "vrf", "mpls",
                                        "pim_sm", "ospf", "ospf6", "bgp",  "rip", "isis",
                                        "ldp",    "bfd",  "vrrp",  "igmp"};
  std::vector<pid_t> runs;
  for (const auto& token : tokens) {
    runs.push_back(root.start(token, {root.input("conf of " + token, token + ".txt")}));
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(wait_exit_status(runs[i]), 0) << tokens[i];
  }
  const std::string after = root.settings_content();
  EXPECT_EQ(after.substr(0, others.size()), others);
  for (const auto& token : tokens) {
    std::string infix = token;
    for (char& c : infix) {
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const std::string enabled = "\nMOD_TAL_" + infix + "_ENABLED=0\n";
    EXPECT_NE(after.find(enabled), std::string::npos) << token;
    EXPECT_EQ(after.find(enabled), after.rfind(enabled)) << token;
  }
  EXPECT_NE(after.find("MOD_TAL_IGMP_CONF=Y29uZiBvZiBpZ21w\n"), std::string::npos);
  EXPECT_EQ(dir_names(root.etc()), device_root::settings_dir_after_run());
  EXPECT_EQ(root.outputs(), "");
  EXPECT_TRUE(dir_names(root.dir / "tmp").empty());
}
