// The section record, the section kinds and the catalogue of keys each kind
// carries. The loader and the rewrite both walk section_catalogue, so the keys
// a section's block holds, their order and their value kinds are said once.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "settings/settings_line.h"

inline constexpr int mpls_interface_count = 5;  // eth0, eth1, eth2, gre1, gre2
inline constexpr int pim_slot_count = 12;

enum class section_kind { global, vrf1, vrf2, vrf3, vrf, mpls, pim_sm, generic };

struct section_record {
  std::string_view section;                   // section token; selects the kind
  std::string_view key_infix;                 // "MOD_TAL_" + key_infix + "_ENABLED" / "_CONF"
  section_kind kind = section_kind::generic;  // worked out once, with the program name
  std::uint32_t enabled = 0;
  std::string conf;  // stored base64 after loading; the new text once the driver sets it
  std::string log_level;
  std::uint32_t vrf_l3mdev_access = 0;
  std::string vrf1_name, vrf1_if, vrf2_name, vrf2_if, vrf3_name, vrf3_if;
  std::array<std::uint32_t, mpls_interface_count> mpls_enabled{};
  std::string pim_rp_addr;
  std::uint32_t pim_bsr_enabled = 0, pim_bsr_bsr_enabled = 0, pim_bsr_rp_enabled = 0;
  std::uint32_t pim_bsr_priority = 0, pim_bsr_rp_priority = 0;
  std::array<std::uint32_t, pim_slot_count> pim_iface_enabled{};
  std::array<std::string, pim_slot_count> pim_iface_name;
  std::array<std::uint32_t, pim_slot_count> pim_iface_dr_priority{};
  std::array<std::uint32_t, pim_slot_count> pim_iface_passive{};
  std::string pim_bsr_advertised_group;
  std::uint32_t pim_use_raw_cfg = 0;
  std::uint32_t mpls_platform_labels = 0;
};

// The kind a token selects: the first of global, vrf1, vrf2, vrf3, vrf, mpls,
// pim_sm whose name the token contains (case counts), else generic.
section_kind section_kind_of(std::string_view token);

// "global", "vrf1", ..., "pim_sm"; "" for generic.
std::string_view section_kind_name(section_kind kind);

enum class value_kind {
  string,         // text, quoted when it holds a blank
  boolean,        // written as 0 or 1
  uint,           // zero written as "0"
  uint_or_empty,  // zero written as an empty value
  conf,           // the configuration text, stored as base64
};

enum class key_form {
  own,    // "MOD_TAL_" + infix + "_" + name
  fixed,  // name as it stands
  slot,   // "MOD_TAL_PIM_SM_IFACE" + slot number + name
};

using text_field = std::string section_record::*;
using number_field = std::uint32_t section_record::*;
using mpls_field = std::array<std::uint32_t, mpls_interface_count> section_record::*;
using slot_number_field = std::array<std::uint32_t, pim_slot_count> section_record::*;
using slot_text_field = std::array<std::string, pim_slot_count> section_record::*;

// One key of the catalogue. Exactly one of the field members is set; index
// picks the element of an array field (the MPLS interface or the PIM slot).
struct catalogue_row {
  unsigned kinds;  // bit (1 << kind) for each kind that carries the key
  key_form form;
  std::string_view name;
  value_kind value;
  text_field text = nullptr;
  number_field number = nullptr;
  mpls_field mpls_number = nullptr;
  slot_number_field slot_number = nullptr;
  slot_text_field slot_text = nullptr;
  int index = 0;
};

// Every row, in the order in which a section's block is written.
std::span<const catalogue_row> section_catalogue();

bool section_row_applies(const catalogue_row& row, section_kind kind);

// The full key of a row for a section with this key infix.
std::string section_row_key(const catalogue_row& row, std::string_view key_infix);

// The record field behind a row: a text for string and conf rows, a number
// for the others.
std::string& section_row_text(section_record& record, const catalogue_row& row);
const std::string& section_row_text(const section_record& record, const catalogue_row& row);
std::uint32_t& section_row_number(section_record& record, const catalogue_row& row);
std::uint32_t section_row_number(const section_record& record, const catalogue_row& row);

inline bool value_kind_is_text(value_kind value) {
  return value == value_kind::string || value == value_kind::conf;
}

// "MOD_TAL_" + key_infix + "_": a line holding it and "=" belongs to the section.
std::string section_pattern(std::string_view key_infix);

// The two bytes of a pattern after "MOD_TAL_", the first that tell one
// section's lines from another's: every line holding the pattern holds
// them, which is what the loader and the rewrite search the file for.
settings_pair_marker section_marker(std::string_view pattern, bool folded);

// Whether the section's block carries a configuration text.
bool section_has_conf(section_kind kind);
