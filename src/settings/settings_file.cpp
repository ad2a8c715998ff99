#include "settings/settings_file.h"

#include <string>

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

bool settings_keys_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_upper(a[i]) != ascii_upper(b[i])) {
      return false;
    }
  }
  return true;
}

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

namespace {

// Every key of the format begins with "MOD_TAL_", so the two bytes after it
// tell one section's keys from another's.
constexpr std::size_t marker_offset = 8;

// A line holds a key only when its text begins with it (the key is what
// stands before the line's first "="), so a line that holds one of keys holds
// the bytes all of them share, folded, at any one offset. The two after
// "MOD_TAL_" are used when every key has them alike; otherwise every line is
// looked at.
std::optional<settings_pair_marker> shared_marker(std::span<const std::string> keys) {
  if (keys.empty()) {
    return std::nullopt;
  }
  const auto folded = [](char c) { return static_cast<unsigned char>(c) | 0x20U; };
  const std::string& some = keys.front();
  for (const auto& key : keys) {
    if (key.size() < marker_offset + 2 ||
        folded(key[marker_offset]) != folded(some[marker_offset]) ||
        folded(key[marker_offset + 1]) != folded(some[marker_offset + 1])) {
      return std::nullopt;
    }
  }
  return settings_pair_marker{some[marker_offset], some[marker_offset + 1], true};
}

}  // namespace

bool settings_find_all(const named_fd& in, std::span<const std::string> keys,
                       std::span<std::optional<std::string>> values, std::string* err) {
  const std::optional<settings_pair_marker> marker = shared_marker(keys);
  std::size_t missing = keys.size();
  settings_line_reader reader = settings_line_reader_for(in);
  std::string_view lines;
  while (missing > 0) {
    if (!settings_read_lines(reader, &lines, err)) {
      return false;
    }
    if (lines.empty()) {
      break;
    }
    for (std::size_t at = 0; missing > 0 && at < lines.size();) {
      const std::size_t hit = marker ? settings_find_pair(lines, at, *marker) : at;
      if (hit >= lines.size()) {
        break;
      }
      const std::string_view line = settings_line_around(lines, at, hit);
      at = static_cast<std::size_t>(line.data() + line.size() - lines.data()) + 1;
      const auto pair = settings_split(settings_line_text(line));
      if (!pair) {
        continue;
      }
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!values[i] && settings_keys_equal(pair->key, keys[i])) {
          values[i] = std::string(pair->value);
          --missing;
        }
      }
    }
  }
  return true;
}

void settings_write_string(std::string& out, std::string_view key, std::string_view value) {
  value = text_before_nul(value).substr(0, settings_max_value_length);
  write_line(out, key, value, value.find(' ') != std::string_view::npos);
}

void settings_write_uint(std::string& out, std::string_view key, std::uint32_t value, bool force) {
  write_line(out, key, (value != 0 || force) ? std::to_string(value) : std::string(), false);
}

void settings_write_bool(std::string& out, std::string_view key, std::uint32_t value) {
  write_line(out, key, value != 0 ? "1" : "0", false);
}
