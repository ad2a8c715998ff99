#include "settings/settings_file.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "settings/settings_line.h"
#include "sys/text.h"

namespace {

bool is_c_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

void write_line(std::string& out, std::string_view key, std::string_view value, bool quoted) {
  out.append(key).append(quoted ? "=\"" : "=").append(value).append(quoted ? "\"\n" : "\n");
}

}  // namespace

std::uint32_t settings_parse_uint(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_c_space(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Converted in 64 bits and saturated there, then cut to 32 bits: what "%u"
  // gives on the device's 64-bit C library.
  std::uint64_t value = 0;
  bool saturated = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const auto digit = static_cast<std::uint64_t>(text[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      saturated = true;
    } else {
      value = value * 10 + digit;
    }
  }
  if (saturated) {
    return UINT32_MAX;
  }
  if (negative) {
    value = 0 - value;
  }
  return static_cast<std::uint32_t>(value);
}

bool settings_find_all(const named_fd& in, std::span<const std::string> keys,
                       std::span<std::optional<std::string>> values,
                       const settings_pair_marker& marker, settings_plain_parts* plain,
                       std::string* err) {
  // Keys upper-cased once, and each line's key once: folding both at every
  // comparison cost this pass most of its instructions in a small file (see
  // doc/benchmark.md).
  std::vector<std::string> upper_keys(keys.size());
  std::transform(keys.begin(), keys.end(), upper_keys.begin(),
                 [](const std::string& key) { return ascii_upper(key); });
  settings_line_reader reader = settings_line_reader_for(in, 0);
  std::string_view lines;
  bool still_plain = true;
  off_t offset = 0;        // of lines in the file
  off_t not_plain_to = 0;  // the end of the last line that is not plain
  for (;;) {
    if (!settings_read_lines(reader, &lines, err)) {
      return false;
    }
    if (lines.empty()) {
      break;
    }
    for (std::size_t at = 0, hit = settings_find_not_plain(lines, 0, marker); hit < lines.size();
         hit = settings_find_not_plain(lines, at, marker)) {
      const std::string_view line = settings_line_around(lines, at, hit);
      const auto line_start = static_cast<std::size_t>(line.data() - lines.data());
      if (still_plain) {
        plain->start = offset + static_cast<off_t>(line_start);
        still_plain = false;
      }
      at = line_start + line.size() + 1;
      not_plain_to = offset + static_cast<off_t>(std::min(at, lines.size()));
      const auto pair = settings_split(settings_line_text(line));
      const std::string upper_key = pair ? ascii_upper(pair->key) : std::string();
      for (std::size_t i = 0; pair && i < keys.size(); ++i) {
        if (!values[i] && upper_key == upper_keys[i]) {
          values[i] = std::string(pair->value);
        }
      }
    }
    if (lines.back() != '\n') {  // the last line, without its line feed
      const auto last = lines.rfind('\n');
      if (still_plain) {
        plain->start = offset + static_cast<off_t>(last == std::string_view::npos ? 0 : last + 1);
        still_plain = false;
      }
      not_plain_to = offset + static_cast<off_t>(lines.size());
    }
    offset += static_cast<off_t>(lines.size());
    if (still_plain) {
      plain->start = offset;
    }
  }
  plain->end = offset;
  plain->tail = std::max(plain->start, not_plain_to);
  return true;
}

void settings_write_string(std::string& out, std::string_view key, std::string_view value,
                           std::size_t max_length) {
  value = text_before_nul(value).substr(0, max_length);
  // A reader cuts a line at its last double quote and skips a value's
  // opening one: quoted, a value that holds a quote reads back whole, where
  // bare it would lose everything from its last quote on at every store.
  write_line(out, key, value, value.find_first_of(" \"") != std::string_view::npos);
}

void settings_write_uint(std::string& out, std::string_view key, std::uint32_t value, bool force) {
  write_line(out, key, (value != 0 || force) ? std::to_string(value) : std::string(), false);
}

void settings_write_bool(std::string& out, std::string_view key, std::uint32_t value) {
  write_line(out, key, value != 0 ? "1" : "0", false);
}
