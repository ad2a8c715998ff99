#include "settings/settings_file.h"

#include <algorithm>
#include <array>
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

bool settings_find_all(const named_stream& in, std::span<const std::string> keys,
                       std::span<std::optional<std::string>> values, std::string* err) {
  // Most lines hold no wanted key; the length of the text before their first
  // "=" tells so without taking them apart.
  constexpr std::size_t short_key = 256;
  std::array<bool, short_key> wanted_length{};
  for (const auto& key : keys) {
    wanted_length[std::min(key.size(), short_key - 1)] = true;
  }
  std::size_t missing = keys.size();
  settings_line_reader reader = settings_line_reader_for(in);
  std::optional<std::string_view> raw;
  while (missing > 0) {
    if (!settings_read_line(reader, &raw, err)) {
      return false;
    }
    if (!raw) {
      break;
    }
    const auto equals = raw->find('=');
    if (equals == std::string_view::npos || !wanted_length[std::min(equals, short_key - 1)]) {
      continue;
    }
    const auto pair = settings_split(settings_line_text(*raw));
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
