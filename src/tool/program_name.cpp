#include "tool/program_name.h"

#include <algorithm>
#include <optional>

#include "section/section_catalogue.h"
#include "sys/text.h"
#include "tool/tool_limits.h"

namespace {

bool is_token_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
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

bool section_name_from_program(std::string_view program_path, section_name* name,
                               std::string* err) {
  const std::string_view base = program_base_name(program_path);
  if (!base.starts_with(program_name_prefix)) {
    *err = "it is not tal-setconf-<section>";
    return false;
  }
  const std::string_view token = base.substr(program_name_prefix.size());
  if (token.empty() || token.size() > section_token_max_length) {
    *err =
        "its section name must be 1 to " + std::to_string(section_token_max_length) + " characters";
    return false;
  }
  if (!std::all_of(token.begin(), token.end(), is_token_char)) {
    *err = "its section name holds characters other than a-z, 0-9 and _";
    return false;
  }
  const section_kind kind = section_kind_of(token);
  if (kind != section_kind::generic && token != section_kind_name(kind)) {
    *err = "its section name contains " + std::string(section_kind_name(kind)) +
           " without being that section";
    return false;
  }
  if (kind == section_kind::generic && token.find('_') != std::string_view::npos) {
    *err = "a generic section name may not hold _";
    return false;
  }
  const std::string key_infix = ascii_upper(token);
  if (const auto other = pattern_reaches_other_kind(section_pattern(key_infix), kind)) {
    *err = "its key pattern matches keys of " + std::string(section_kind_name(*other));
    return false;
  }
  *name = {std::string(token), key_infix, kind};
  return true;
}
