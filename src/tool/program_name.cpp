#include "tool/program_name.h"

#include <algorithm>

#include "tool/section_catalogue.h"

namespace {

bool is_token_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

std::string ascii_upper(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  });
  return upper;
}

// The special kind other than its own, if any, in one of whose keys the
// section's pattern occurs (the fixed keys, and the own keys under that
// kind's own infix).
std::optional<section_kind> pattern_reaches_other_kind(std::string_view pattern,
                                                       section_kind own_kind) {
  for (const auto& row : section_catalogue()) {
    for (int k = 0; k < static_cast<int>(section_kind::generic); ++k) {
      const auto other = static_cast<section_kind>(k);
      if (other == own_kind || !section_row_applies(row, other)) {
        continue;
      }
      const std::string key = section_row_key(row, ascii_upper(section_kind_name(other)));
      if (key.find(pattern) != std::string::npos) {
        return other;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::string_view program_base_name(std::string_view program_path) {
  const auto slash = program_path.rfind('/');
  return slash == std::string_view::npos ? program_path : program_path.substr(slash + 1);
}

std::optional<section_name> section_name_from_program(std::string_view program_path,
                                                      std::string* why) {
  const std::string_view base = program_base_name(program_path);
  if (!base.starts_with(program_name_prefix)) {
    *why = "it is not tal-setconf-<section>";
    return std::nullopt;
  }
  const std::string_view token = base.substr(program_name_prefix.size());
  if (token.empty() || token.size() > section_token_max_length) {
    *why = "its section name must be 1 to 64 characters";
    return std::nullopt;
  }
  if (!std::all_of(token.begin(), token.end(), is_token_char)) {
    *why = "its section name holds characters other than a-z, 0-9 and _";
    return std::nullopt;
  }
  const section_kind kind = section_kind_of(token);
  if (kind != section_kind::generic && token != section_kind_name(kind)) {
    *why = "its section name contains " + std::string(section_kind_name(kind)) +
           " without being that section";
    return std::nullopt;
  }
  if (kind == section_kind::generic && token.find('_') != std::string_view::npos) {
    *why = "a generic section name may not hold _";
    return std::nullopt;
  }
  section_name name{std::string(token), ascii_upper(token), kind};
  if (const auto other = pattern_reaches_other_kind(section_pattern(name.key_infix), kind)) {
    *why = "its key pattern matches keys of " + std::string(section_kind_name(*other));
    return std::nullopt;
  }
  return name;
}
