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

// Whether the section's pattern occurs in a key that belongs to a special
// kind other than its own (the fixed keys, and the own keys under that
// kind's own infix).
bool pattern_reaches_other_kind(std::string_view pattern, section_kind own_kind) {
  for (const auto& row : section_catalogue()) {
    for (int k = 0; k < static_cast<int>(section_kind::generic); ++k) {
      const auto other = static_cast<section_kind>(k);
      if (other == own_kind || !section_row_applies(row, other)) {
        continue;
      }
      const std::string key = section_row_key(row, ascii_upper(section_kind_name(other)));
      if (key.find(pattern) != std::string::npos) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

std::optional<section_name> section_name_from_program(std::string_view program_path) {
  const auto slash = program_path.rfind('/');
  const std::string_view base =
      slash == std::string_view::npos ? program_path : program_path.substr(slash + 1);
  if (!base.starts_with(program_name_prefix)) {
    return std::nullopt;
  }
  const std::string_view token = base.substr(program_name_prefix.size());
  if (token.empty() || token.size() > section_token_max_length) {
    return std::nullopt;
  }
  if (!std::all_of(token.begin(), token.end(), is_token_char)) {
    return std::nullopt;
  }
  const section_kind kind = section_kind_of(token);
  if (kind != section_kind::generic && token != section_kind_name(kind)) {
    return std::nullopt;
  }
  if (kind == section_kind::generic && token.find('_') != std::string_view::npos) {
    return std::nullopt;
  }
  section_name name{std::string(token), ascii_upper(token)};
  if (pattern_reaches_other_kind(section_pattern(name.key_infix), kind)) {
    return std::nullopt;
  }
  return name;
}
