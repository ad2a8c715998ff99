#include "settings/settings_file.h"

#include <algorithm>
#include <array>
#include <string>

#include "settings/settings_line.h"

file_stream settings_open(const char* path, const char* mode) {
  const std::string mode_cloexec = std::string(mode) + "e";
  return file_stream(std::fopen(path, mode_cloexec.c_str()));
}

namespace {

char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool is_c_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool write_all(std::FILE* file, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

bool write_line(std::FILE* file, std::string_view key, std::string_view value, bool quoted) {
  if (file == nullptr) {
    return true;
  }
  std::string line;
  line.reserve(key.size() + value.size() + 4);
  line.append(key).append(quoted ? "=\"" : "=").append(value).append(quoted ? "\"\n" : "\n");
  return write_all(file, line);
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

std::optional<std::string> settings_find(std::FILE* file, std::string_view key) {
  settings_line_reader reader = settings_line_reader_for(file);
  while (const auto raw = settings_read_line(reader)) {
    const auto pair = settings_split(settings_line_text(*raw));
    if (pair && settings_keys_equal(pair->key, key)) {
      std::string value(pair->value);
      // The next lookup starts right after this line, as a line-by-line read
      // would leave the stream.
      if (!settings_line_reader_give_back(reader)) {
        return std::nullopt;
      }
      return value;
    }
  }
  return std::nullopt;
}

std::string settings_read_string(std::FILE* file, std::string_view key) {
  if (file == nullptr) {
    return {};
  }
  std::rewind(file);
  return settings_find(file, key).value_or(std::string());
}

std::uint32_t settings_read_uint(std::FILE* file, std::string_view key) {
  if (file == nullptr) {
    return 0;
  }
  std::rewind(file);
  const auto value = settings_find(file, key);
  return value ? settings_parse_uint(*value) : 0;
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

int settings_find_all(std::FILE* file, std::span<const std::string> keys,
                      std::span<std::optional<std::string>> values) {
  // Most lines hold no wanted key; the length of the text before their first
  // "=" tells so without taking them apart.
  constexpr std::size_t short_key = 256;
  std::array<bool, short_key> wanted_length{};
  for (const auto& key : keys) {
    wanted_length[std::min(key.size(), short_key - 1)] = true;
  }
  std::size_t missing = keys.size();
  settings_line_reader reader = settings_line_reader_for(file);
  while (missing > 0) {
    const auto raw = settings_read_line(reader);
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
  return settings_read_error(reader);
}

bool settings_write_string(std::FILE* file, std::string_view key, std::string_view value) {
  value = value.substr(0, value.find('\0')).substr(0, settings_max_value_length);
  return write_line(file, key, value, value.find(' ') != std::string_view::npos);
}

bool settings_write_uint(std::FILE* file, std::string_view key, std::uint32_t value, bool force) {
  return write_line(file, key, (value != 0 || force) ? std::to_string(value) : std::string(),
                    false);
}

bool settings_write_bool(std::FILE* file, std::string_view key, std::uint32_t value) {
  return write_line(file, key, value != 0 ? "1" : "0", false);
}
