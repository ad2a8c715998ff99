#include "section/section_load.h"

#include <optional>
#include <string>
#include <vector>

#include "settings/settings_file.h"

bool section_load(const named_fd& settings, section_record* record, settings_plain_parts* plain,
                  std::string* err) {
  section_record& loaded = *record;
  std::vector<const catalogue_row*> rows;
  std::vector<std::string> keys;
  for (const auto& row : section_catalogue()) {
    if (section_row_applies(row, loaded.kind)) {
      rows.push_back(&row);
      keys.push_back(section_row_key(row, loaded.key_infix));
    }
  }

  // One pass over the file for all keys: what a rewind and a scan per key
  // would find (the first line holding each key), at the cost of one read.
  // Every key begins with the section's pattern (the program name's rule
  // refuses a token for which a special kind's fixed keys would not), so a
  // line holding one holds the pattern's marker, in some case.
  const settings_pair_marker marker = section_marker(section_pattern(loaded.key_infix), true);
  std::vector<std::optional<std::string>> values(keys.size());
  if (!settings_find_all(settings, keys, values, marker, plain, err)) {
    return false;
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string value = values[i].value_or(std::string());
    if (value_kind_is_text(rows[i]->value)) {
      section_row_text(loaded, *rows[i]) = value;
    } else {
      section_row_number(loaded, *rows[i]) = settings_parse_uint(value);
    }
  }
  return true;
}
