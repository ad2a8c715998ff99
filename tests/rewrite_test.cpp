// What the tool makes of the settings file, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"
#include "settings/base64.h"

namespace {

const std::string ospf_text = "router ospf\n network 10.0.0.0/8 area 0\n";

std::string ospf_block(std::string_view enabled = "0") {
  return "MOD_TAL_OSPF_ENABLED=" + std::string(enabled) +
         "\nMOD_TAL_OSPF_CONF=" + base64_encode_alloc(ospf_text) + "\n";
}

struct rewrite : ::testing::Test {
  device_root root;

  // Stores ospf_text into section token; expects success.
  std::string store(std::string_view before, std::string_view token = "ospf",
                    std::string_view text = ospf_text) {
    root.set_settings(before);
    EXPECT_EQ(root.run_text(token, text), 0);
    return root.settings_content();
  }
  void SetUp() override { SKIP_WITHOUT_SANDBOX(); }
};

}  // namespace

TEST_F(rewrite, BlockTakesThePlaceOfTheFirstSectionLine) {
  EXPECT_EQ(store("P=1\nMOD_TAL_OSPF_ENABLED=1\n# MOD_TAL_OSPF_CONF holds the text\n"
                  "MOD_TAL_OSPF_CONF=b2xk\nR=2\n"),
            "P=1\n" + ospf_block("1") + "# MOD_TAL_OSPF_CONF holds the text\nR=2\n");
}

TEST_F(rewrite, SectionWithoutLinesIsAppended) {
  EXPECT_EQ(store("A=1\n\nB=\"x y\"\n"), "A=1\n\nB=\"x y\"\n" + ospf_block());
  EXPECT_EQ(store(""), ospf_block());
}

TEST_F(rewrite, SpreadLinesGoAndOthersKeepTheirPlaces) {
  EXPECT_EQ(store("MOD_TAL_BGP_ENABLED=1\nMOD_TAL_OSPF_CONF=b2xk\nMOD_TAL_BGP_CONF=Ymdw\n"
                  "MOD_TAL_OSPF_ENABLED=1\nMOD_TAL_OSPF_EXTRA=9\nZ=1\n"),
            "MOD_TAL_BGP_ENABLED=1\n" + ospf_block("1") + "MOD_TAL_BGP_CONF=Ymdw\nZ=1\n");
}

TEST_F(rewrite, PatternIsCaseSensitiveAndMatchesValuesToo) {
  EXPECT_EQ(store("mod_tal_ospf_enabled=1\nMOD_TAL_BGP_NOTE=see MOD_TAL_OSPF_CONF\nK=v\n"),
            "mod_tal_ospf_enabled=1\n" + ospf_block("1") + "K=v\n");
}

TEST_F(rewrite, LineEndsAreNormalisedAndEmptyLinesStay) {
  EXPECT_EQ(store("A=1\r\nB=2\rlost\n\n\r\nC=3"), "A=1\nB=2\n\n\nC=3\n" + ospf_block());
}

TEST_F(rewrite, LongLinesAndNulBytesAreKeptWhole) {
  const std::string long_line = "MOD_TAL_BGP_CONF=" + std::string(100000, 'Q') + "=X";
  const std::string with_nul("N=a\0b\n", 6);
  EXPECT_EQ(store(long_line + "\n" + with_nul + "MOD_TAL_OSPF_ENABLED=1\n"),
            long_line + "\n" + with_nul + ospf_block("1"));
}

TEST_F(rewrite, AValueWithDoubleQuotesReadsBackTheSameAtEveryStore) {
  // As another tool left the line, and the line two stores make of it.
  const struct {
    std::string_view line, stored;
  } cases[] = {
      {"a\"b\"c", "\"a\"b\""},         // read as a"b
      {"\"a\"b\"c\"", "\"a\"b\"c\""},  // read as a"b"c
      {"ab\"", "ab"},
      {"\"x y\"z\"", "\"x y\"z\""},  // read as x y"z
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string tail = "MOD_TAL_OSPF_ENABLED=1\n";
    const std::string once =
        store("MOD_TAL_GLOBAL_LOG_LEVEL=" + std::string(c.line) + "\n" + tail, "global");
    EXPECT_EQ(once, "MOD_TAL_GLOBAL_ENABLED=0\nMOD_TAL_GLOBAL_LOG_LEVEL=" + std::string(c.stored) +
                        "\n" + tail);
    EXPECT_EQ(store(once, "global"), once);
  }
}

TEST_F(rewrite, SpecialKindsWriteNoConfAndDropAnOldOne) {
  const std::string tail = "MOD_TAL_OSPF_ENABLED=1\n";
  EXPECT_EQ(
      store("MOD_TAL_GLOBAL_CONF=b2xk\nMOD_TAL_GLOBAL_LOG_LEVEL=\"debug all\"\n" + tail, "global"),
      "MOD_TAL_GLOBAL_ENABLED=0\nMOD_TAL_GLOBAL_LOG_LEVEL=\"debug all\"\n" + tail);
  for (const std::string n : {"1", "2", "3"}) {
    EXPECT_EQ(store("MOD_TAL_VRF" + n + "_ENABLED=7\nMOD_TAL_VRF" + n + "_CONF=b2xk\nMOD_TAL_VRF" +
                        n + "_IF=eth" + n + "\n" + tail,
                    "vrf" + n),
              "MOD_TAL_VRF" + n + "_ENABLED=1\nMOD_TAL_VRF" + n + "_NAME=\nMOD_TAL_VRF" + n +
                  "_IF=eth" + n + "\n" + tail);
  }
  EXPECT_EQ(
      store("MOD_TAL_VRF1_NAME=red\nMOD_TAL_VRF_CONF=b2xk\nMOD_TAL_VRF_L3MDEV_ACCESS=0\n", "vrf"),
      "MOD_TAL_VRF1_NAME=red\nMOD_TAL_VRF_ENABLED=0\nMOD_TAL_VRF_L3MDEV_ACCESS=\n");
  EXPECT_EQ(store("MOD_TAL_MPLS_CONF=b2xk\nMOD_TAL_MPLS_GRE1_ENABLED=2\n", "mpls"),
            "MOD_TAL_MPLS_ENABLED=0\nMOD_TAL_MPLS_ETH0_ENABLED=0\nMOD_TAL_MPLS_ETH1_ENABLED=0\n"
            "MOD_TAL_MPLS_ETH2_ENABLED=0\nMOD_TAL_MPLS_GRE1_ENABLED=1\n"
            "MOD_TAL_MPLS_GRE2_ENABLED=0\nMOD_TAL_MPLS_PLATFORM_LABELS=\n");
}

TEST_F(rewrite, PimBlockInOrderWithEachValueKindsWriter) {
  std::string expected =
      "MOD_TAL_PIM_SM_ENABLED=1\nMOD_TAL_PIM_SM_RP_ADDR=10.0.0.1\n"
      "MOD_TAL_PIM_SM_BSR_ENABLED=0\nMOD_TAL_PIM_SM_BSR_BSR_ENABLED=0\n"
      "MOD_TAL_PIM_SM_BSR_RP_ENABLED=0\nMOD_TAL_PIM_SM_BSR_ADVERTISED_GROUP=\"a b\"\n"
      "MOD_TAL_PIM_SM_BSR_RP_PRIORITY=\nMOD_TAL_PIM_SM_BSR_PRIORITY=4294967295\n"
      "MOD_TAL_PIM_SM_USE_RAW_CFG=0\n";
  for (int slot = 0; slot < 12; ++slot) {
    const std::string key = "MOD_TAL_PIM_SM_IFACE" + std::to_string(slot);
    expected += key + "_ENABLED=" + (slot == 3 ? "1" : "0") + "\n" + key +
                "_NAME=" + (slot == 11 ? "gre2" : "") + "\n" + key +
                "_DR_PRIORITY=" + (slot == 5 ? "12" : "0") + "\n" + key + "_PASSIVE=0\n";
  }
  expected += "MOD_TAL_PIM_SM_CONF=" + base64_encode_alloc("ip pim rp 10.0.0.1") + "\n";
  EXPECT_EQ(store("X=1\nMOD_TAL_PIM_SM_ENABLED=5\nMOD_TAL_PIM_SM_RP_ADDR=10.0.0.1\n"
                  "MOD_TAL_PIM_SM_BSR_ADVERTISED_GROUP=\"a b\"\nMOD_TAL_PIM_SM_BSR_RP_PRIORITY=0\n"
                  "MOD_TAL_PIM_SM_BSR_PRIORITY=-1\nMOD_TAL_PIM_SM_IFACE3_ENABLED=9\n"
                  "MOD_TAL_PIM_SM_IFACE5_DR_PRIORITY=12\nMOD_TAL_PIM_SM_IFACE11_NAME=gre2\n"
                  "MOD_TAL_PIM_SM_CONF=b2xk\nY=2\n",
                  "pim_sm", "ip pim rp 10.0.0.1"),
            "X=1\n" + expected + "Y=2\n");
}

TEST_F(rewrite, ConfigurationTextLimits) {
  // 12000 bytes make 16000 base64 characters, the most a value can hold.
  const std::string most(12000, 'c');
  root.set_settings("A=1\n");
  EXPECT_EQ(root.run_text("bgp", most), 0);
  EXPECT_EQ(root.settings_content(),
            "A=1\nMOD_TAL_BGP_ENABLED=0\nMOD_TAL_BGP_CONF=" + base64_encode_alloc(most) + "\n");
  const std::string stored = root.settings_content();
  EXPECT_EQ(root.run_text("bgp", most + "c"), 1);
  EXPECT_EQ(root.run_text("pim_sm", most + "c"), 1);
  EXPECT_EQ(root.settings_content(), stored);
  // Sections without a text do not care about its size.
  EXPECT_EQ(root.run_text("vrf", std::string(20000, 'c')), 0);
  // The text ends at a NUL byte; an empty text is stored empty.
  EXPECT_EQ(store("", "ospf", std::string("abc\0def", 7)),
            "MOD_TAL_OSPF_ENABLED=0\nMOD_TAL_OSPF_CONF=YWJj\n");
  EXPECT_EQ(store("", "ospf", ""), "MOD_TAL_OSPF_ENABLED=0\nMOD_TAL_OSPF_CONF=\n");
}

TEST_F(rewrite, HashToolSeesTheFinalFileCleanly) {
  root.install_hash_probe();
  const std::string after = store("A=1\n");
  EXPECT_EQ(after, "A=1\n" + ospf_block());
  EXPECT_EQ(read_file(root.hash_tool().string() + ".saw"), after);
  EXPECT_EQ(read_file(root.hash_tool().string() + ".report"),
            "argc 2\narg /opt/tal/etc/settings\nfd 0 /dev/null\nfd 1 /dev/null\n"
            "fd 2 /dev/null\nworking-copy yes\nsignals default\ngroup own\n");
  EXPECT_FALSE(std::filesystem::exists(root.working_copy()));
  EXPECT_EQ(dir_names(root.etc()), device_root::settings_dir_after_run());
}

TEST_F(rewrite, ModeOwnerAndSymlinkAreKept) {
  root.set_settings("A=1\n");
  ASSERT_EQ(::chown(root.settings().c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(root.settings().c_str(), 0640), 0);
  ASSERT_EQ(root.run_text("ospf", ospf_text), 0);
  struct stat after {};
  ASSERT_EQ(::stat(root.settings().c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, 1234U);
  EXPECT_EQ(after.st_gid, 5678U);
  EXPECT_EQ(after.st_mode & 07777, 0640U);

  // The settings path as a link into another directory of the device.
  std::filesystem::create_directories(root.dir / "opt/tal/data");
  std::filesystem::rename(root.settings(), root.dir / "opt/tal/data/settings.real");
  std::filesystem::create_symlink("../data/settings.real", root.settings());
  ASSERT_EQ(root.run_text("bgp", "b"), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(root.settings()));
  EXPECT_EQ(read_file(root.dir / "opt/tal/data/settings.real"),
            "A=1\n" + ospf_block() + "MOD_TAL_BGP_ENABLED=0\nMOD_TAL_BGP_CONF=Yg==\n");
  // The lock beside the file the link names, where the new file is made too.
  EXPECT_EQ(dir_names(root.dir / "opt/tal/data"),
            (std::vector<std::string>{".settings.real.lock", "settings.real"}));
}
