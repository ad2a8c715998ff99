#include "section/section_catalogue.h"

#include <algorithm>
#include <utility>

namespace {

constexpr unsigned bit(section_kind kind) {
  return 1U << static_cast<unsigned>(kind);
}
constexpr unsigned every_kind = (bit(section_kind::generic) << 1) - 1;

constexpr catalogue_row row(section_kind kind, std::string_view key, value_kind value,
                            text_field field) {
  return {.kinds = bit(kind), .form = key_form::fixed, .name = key, .value = value, .text = field};
}

constexpr catalogue_row row(section_kind kind, std::string_view key, value_kind value,
                            number_field field) {
  return {
      .kinds = bit(kind), .form = key_form::fixed, .name = key, .value = value, .number = field};
}

constexpr catalogue_row mpls_row(std::string_view key, int index) {
  return {.kinds = bit(section_kind::mpls),
          .form = key_form::fixed,
          .name = key,
          .value = value_kind::boolean,
          .mpls_number = &section_record::mpls_enabled,
          .index = index};
}

constexpr std::array fixed_head{
    catalogue_row{.kinds = every_kind,
                  .form = key_form::own,
                  .name = "ENABLED",
                  .value = value_kind::boolean,
                  .number = &section_record::enabled},
    row(section_kind::global, "MOD_TAL_GLOBAL_LOG_LEVEL", value_kind::string,
        &section_record::log_level),
    row(section_kind::vrf1, "MOD_TAL_VRF1_NAME", value_kind::string, &section_record::vrf1_name),
    row(section_kind::vrf1, "MOD_TAL_VRF1_IF", value_kind::string, &section_record::vrf1_if),
    row(section_kind::vrf2, "MOD_TAL_VRF2_NAME", value_kind::string, &section_record::vrf2_name),
    row(section_kind::vrf2, "MOD_TAL_VRF2_IF", value_kind::string, &section_record::vrf2_if),
    row(section_kind::vrf3, "MOD_TAL_VRF3_NAME", value_kind::string, &section_record::vrf3_name),
    row(section_kind::vrf3, "MOD_TAL_VRF3_IF", value_kind::string, &section_record::vrf3_if),
    row(section_kind::vrf, "MOD_TAL_VRF_L3MDEV_ACCESS", value_kind::uint_or_empty,
        &section_record::vrf_l3mdev_access),
    mpls_row("MOD_TAL_MPLS_ETH0_ENABLED", 0),
    mpls_row("MOD_TAL_MPLS_ETH1_ENABLED", 1),
    mpls_row("MOD_TAL_MPLS_ETH2_ENABLED", 2),
    mpls_row("MOD_TAL_MPLS_GRE1_ENABLED", 3),
    mpls_row("MOD_TAL_MPLS_GRE2_ENABLED", 4),
    row(section_kind::mpls, "MOD_TAL_MPLS_PLATFORM_LABELS", value_kind::uint_or_empty,
        &section_record::mpls_platform_labels),
    row(section_kind::pim_sm, "MOD_TAL_PIM_SM_RP_ADDR", value_kind::string,
        &section_record::pim_rp_addr),
    row(section_kind::pim_sm, "MOD_TAL_PIM_SM_BSR_ENABLED", value_kind::boolean,
        &section_record::pim_bsr_enabled),
    row(section_kind::pim_sm, "MOD_TAL_PIM_SM_BSR_BSR_ENABLED", value_kind::boolean,
        &section_record::pim_bsr_bsr_enabled),
    row(section_kind::pim_sm, "MOD_TAL_PIM_SM_BSR_RP_ENABLED", value_kind::boolean,
        &section_record::pim_bsr_rp_enabled),
    row(section_kind::pim_sm, "MOD_TAL_PIM_SM_BSR_ADVERTISED_GROUP", value_kind::string,
        &section_record::pim_bsr_advertised_group),
    row(section_kind::pim_sm, "MOD_TAL_PIM_SM_BSR_RP_PRIORITY", value_kind::uint_or_empty,
        &section_record::pim_bsr_rp_priority),
    row(section_kind::pim_sm, "MOD_TAL_PIM_SM_BSR_PRIORITY", value_kind::uint_or_empty,
        &section_record::pim_bsr_priority),
    row(section_kind::pim_sm, "MOD_TAL_PIM_SM_USE_RAW_CFG", value_kind::boolean,
        &section_record::pim_use_raw_cfg),
};

constexpr catalogue_row conf_row{.kinds = bit(section_kind::pim_sm) | bit(section_kind::generic),
                                 .form = key_form::own,
                                 .name = "CONF",
                                 .value = value_kind::conf,
                                 .text = &section_record::conf};

constexpr std::size_t rows_per_slot = 4;
constexpr std::size_t catalogue_size =
    fixed_head.size() + std::size_t{pim_slot_count} * rows_per_slot + 1;

constexpr std::array<catalogue_row, catalogue_size> build_catalogue() {
  std::array<catalogue_row, catalogue_size> rows{};
  std::size_t n = 0;
  for (const auto& fixed : fixed_head) {
    rows[n++] = fixed;
  }
  for (int slot = 0; slot < pim_slot_count; ++slot) {
    const auto slot_row = [slot](std::string_view name, value_kind value) {
      return catalogue_row{.kinds = bit(section_kind::pim_sm),
                           .form = key_form::slot,
                           .name = name,
                           .value = value,
                           .index = slot};
    };
    rows[n] = slot_row("_ENABLED", value_kind::boolean);
    rows[n++].slot_number = &section_record::pim_iface_enabled;
    rows[n] = slot_row("_NAME", value_kind::string);
    rows[n++].slot_text = &section_record::pim_iface_name;
    rows[n] = slot_row("_DR_PRIORITY", value_kind::uint);
    rows[n++].slot_number = &section_record::pim_iface_dr_priority;
    rows[n] = slot_row("_PASSIVE", value_kind::boolean);
    rows[n++].slot_number = &section_record::pim_iface_passive;
  }
  rows[n] = conf_row;
  return rows;
}

constexpr auto catalogue = build_catalogue();

struct kind_test {
  std::string_view name;
  section_kind kind;
};

constexpr std::array kind_tests{
    kind_test{"global", section_kind::global}, kind_test{"vrf1", section_kind::vrf1},
    kind_test{"vrf2", section_kind::vrf2},     kind_test{"vrf3", section_kind::vrf3},
    kind_test{"vrf", section_kind::vrf},       kind_test{"mpls", section_kind::mpls},
    kind_test{"pim_sm", section_kind::pim_sm},
};

template <typename Record, typename Row>
auto& text_of(Record& record, const Row& row) {
  return row.text != nullptr ? record.*row.text : (record.*row.slot_text)[row.index];
}

template <typename Record, typename Row>
auto& number_of(Record& record, const Row& row) {
  if (row.number != nullptr) {
    return record.*row.number;
  }
  if (row.mpls_number != nullptr) {
    return (record.*row.mpls_number)[row.index];
  }
  return (record.*row.slot_number)[row.index];
}

}  // namespace

section_kind section_kind_of(std::string_view token) {
  for (const auto& test : kind_tests) {
    if (token.find(test.name) != std::string_view::npos) {
      return test.kind;
    }
  }
  return section_kind::generic;
}

std::string_view section_kind_name(section_kind kind) {
  const auto* test = std::find_if(kind_tests.begin(), kind_tests.end(),
                                  [kind](const kind_test& t) { return t.kind == kind; });
  return test != kind_tests.end() ? test->name : std::string_view();
}

std::span<const catalogue_row> section_catalogue() {
  return catalogue;
}

bool section_row_applies(const catalogue_row& row, section_kind kind) {
  return (row.kinds & bit(kind)) != 0;
}

std::string section_row_key(const catalogue_row& row, std::string_view key_infix) {
  switch (row.form) {
    case key_form::own:
      return section_pattern(key_infix).append(row.name);
    case key_form::slot:
      return "MOD_TAL_PIM_SM_IFACE" + std::to_string(row.index) + std::string(row.name);
    case key_form::fixed:
      break;
  }
  return std::string(row.name);
}

std::string& section_row_text(section_record& record, const catalogue_row& row) {
  return text_of(record, row);
}

const std::string& section_row_text(const section_record& record, const catalogue_row& row) {
  return text_of(record, row);
}

std::uint32_t& section_row_number(section_record& record, const catalogue_row& row) {
  return number_of(record, row);
}

std::uint32_t section_row_number(const section_record& record, const catalogue_row& row) {
  return number_of(record, row);
}

std::string section_pattern(std::string_view key_infix) {
  return "MOD_TAL_" + std::string(key_infix) + "_";
}

settings_pair_marker section_marker(std::string_view pattern, bool folded) {
  // "MOD_TAL_", then at least one byte of the infix and "_": the pattern's
  // first two bytes after "MOD_TAL_" are the first to tell sections apart.
  constexpr std::size_t at = 8;
  return {pattern[at], pattern[at + 1], folded};
}

bool section_has_conf(section_kind kind) {
  return section_row_applies(conf_row, kind);
}
