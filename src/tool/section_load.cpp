#include "tool/section_load.h"

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "settings/settings_file.h"

load_result section_load(section_record& record, const char* settings_path) {
  const section_kind kind = section_kind_of(record.section);
  std::vector<const catalogue_row*> rows;
  std::vector<std::string> keys;
  for (const auto& row : section_catalogue()) {
    if (section_row_applies(row, kind)) {
      rows.push_back(&row);
      keys.push_back(section_row_key(row, record.key_infix));
    }
  }

  // One pass over the file for all keys: what a rewind and a scan per key
  // would find (the first line holding each key), at the cost of one read.
  std::vector<std::optional<std::string>> values(keys.size());
  load_result result = load_result::missing;
  file_stream file = settings_open(settings_path, "r");
  if (file) {
    result =
        settings_find_all(file.get(), keys, values) ? load_result::loaded : load_result::read_error;
  } else if (errno != ENOENT) {
    result = load_result::read_error;
  }

  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string value = values[i].value_or(std::string());
    if (value_kind_is_text(rows[i]->value)) {
      section_row_text(record, *rows[i]) = value;
    } else {
      section_row_number(record, *rows[i]) = settings_parse_uint(value);
    }
  }
  return result;
}
