// Loading each kind from a settings file that holds every key.
#include "section/section_load.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "scratch_dir.h"
#include "settings_key_reader.h"

namespace {

section_record load(const scratch_dir& dir, std::string_view token, std::string_view infix,
                    std::string_view expected_error = "") {
  section_record record;
  record.section = token;
  record.key_infix = infix;
  record.kind = section_kind_of(token);
  const file_stream settings = settings_open((dir / "settings").c_str(), "r");
  EXPECT_TRUE(settings);
  std::string err;
  if (settings) {
    settings_plain_parts plain;
    EXPECT_EQ(section_load({::fileno(settings.get()), "settings"}, &record, &plain, &err),
              expected_error.empty());
    EXPECT_EQ(err, expected_error);
  }
  return record;
}

constexpr std::string_view all_keys =
    "MOD_TAL_GLOBAL_ENABLED=1\nMOD_TAL_GLOBAL_LOG_LEVEL=\"debug all\"\n"
    "MOD_TAL_VRF1_ENABLED=1\nMOD_TAL_VRF1_NAME=red\nMOD_TAL_VRF1_IF=eth1\n"
    "MOD_TAL_VRF2_ENABLED=0\nMOD_TAL_VRF2_NAME=green\nMOD_TAL_VRF2_IF=eth2\n"
    "MOD_TAL_VRF3_NAME=blue\nMOD_TAL_VRF3_IF=gre1\n"
    "MOD_TAL_VRF_ENABLED=5\nMOD_TAL_VRF_L3MDEV_ACCESS=1\n"
    "MOD_TAL_MPLS_ENABLED=1\nMOD_TAL_MPLS_ETH0_ENABLED=1\nMOD_TAL_MPLS_ETH2_ENABLED=1\n"
    "MOD_TAL_MPLS_GRE2_ENABLED=1\nMOD_TAL_MPLS_PLATFORM_LABELS=100000\n"
    "MOD_TAL_PIM_SM_ENABLED=1\nmod_tal_pim_sm_rp_addr=10.0.0.1\nMOD_TAL_PIM_SM_RP_ADDR=10.9.9.9\n"
    "MOD_TAL_PIM_SM_BSR_ENABLED=1\nMOD_TAL_PIM_SM_BSR_BSR_ENABLED=0\n"
    "MOD_TAL_PIM_SM_BSR_RP_ENABLED=1\nMOD_TAL_PIM_SM_BSR_ADVERTISED_GROUP=224.0.0.0/4\n"
    "MOD_TAL_PIM_SM_BSR_RP_PRIORITY=7\nMOD_TAL_PIM_SM_BSR_PRIORITY=9\n"
    "MOD_TAL_PIM_SM_USE_RAW_CFG=1\nMOD_TAL_PIM_SM_IFACE0_ENABLED=1\n"
    "MOD_TAL_PIM_SM_IFACE0_NAME=eth0\nMOD_TAL_PIM_SM_IFACE0_DR_PRIORITY=3\n"
    "MOD_TAL_PIM_SM_IFACE11_PASSIVE=1\nMOD_TAL_PIM_SM_IFACE11_NAME=gre2\n"
    "MOD_TAL_PIM_SM_CONF=aGVsbG8=\nMOD_TAL_OSPF_ENABLED=1\nMOD_TAL_OSPF_CONF=b3NwZg==\n";

}  // namespace

TEST(SectionLoad, EveryKindFromAFileWithAllKeys) {
  scratch_dir dir;
  write_file(dir / "settings", all_keys);

  const auto global = load(dir, "global", "GLOBAL");
  EXPECT_EQ(global.enabled, 1U);
  EXPECT_EQ(global.log_level, "debug all");
  EXPECT_EQ(global.conf, "");

  const auto vrf1 = load(dir, "vrf1", "VRF1");
  EXPECT_EQ(vrf1.vrf1_name, "red");
  EXPECT_EQ(vrf1.vrf1_if, "eth1");
  EXPECT_EQ(vrf1.vrf2_name, "");  // another kind's field is left alone
  const auto vrf2 = load(dir, "vrf2", "VRF2");
  EXPECT_EQ(vrf2.vrf2_name + vrf2.vrf2_if, "greeneth2");
  const auto vrf3 = load(dir, "vrf3", "VRF3");
  EXPECT_EQ(vrf3.enabled, 0U);
  EXPECT_EQ(vrf3.vrf3_name + vrf3.vrf3_if, "bluegre1");

  const auto vrf = load(dir, "vrf", "VRF");
  EXPECT_EQ(vrf.enabled, 5U);
  EXPECT_EQ(vrf.vrf_l3mdev_access, 1U);

  const auto mpls = load(dir, "mpls", "MPLS");
  EXPECT_EQ(mpls.mpls_enabled, (std::array<std::uint32_t, 5>{1, 0, 1, 0, 1}));
  EXPECT_EQ(mpls.mpls_platform_labels, 100000U);

  const auto pim = load(dir, "pim_sm", "PIM_SM");
  EXPECT_EQ(pim.pim_rp_addr, "10.0.0.1");  // the first line holding the key, in any case
  EXPECT_EQ(pim.pim_bsr_enabled + pim.pim_bsr_bsr_enabled + pim.pim_bsr_rp_enabled, 2U);
  EXPECT_EQ(pim.pim_bsr_advertised_group, "224.0.0.0/4");
  EXPECT_EQ(pim.pim_bsr_rp_priority, 7U);
  EXPECT_EQ(pim.pim_bsr_priority, 9U);
  EXPECT_EQ(pim.pim_use_raw_cfg, 1U);
  EXPECT_EQ(pim.pim_iface_enabled[0], 1U);
  EXPECT_EQ(pim.pim_iface_name[0], "eth0");
  EXPECT_EQ(pim.pim_iface_dr_priority[0], 3U);
  EXPECT_EQ(pim.pim_iface_passive[11], 1U);
  EXPECT_EQ(pim.pim_iface_name[11], "gre2");
  EXPECT_EQ(pim.conf, "aGVsbG8=");  // stored base64, not decoded

  const auto ospf = load(dir, "ospf", "OSPF");
  EXPECT_EQ(ospf.enabled, 1U);
  EXPECT_EQ(ospf.conf, "b3NwZg==");
}

TEST(SectionLoad, AnUnreadableFileIsAnErrorWithDefaults) {
  scratch_dir dir;
  // A directory opens for reading but does not read.
  std::filesystem::create_directory(dir / "settings");
  const auto pim = load(dir, "pim_sm", "PIM_SM", "reading settings: Is a directory");
  EXPECT_EQ(pim.enabled, 0U);
  EXPECT_EQ(pim.pim_rp_addr, "");
  EXPECT_EQ(pim.conf, "");
}
