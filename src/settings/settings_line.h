// One line of the settings file: reading it whole, whatever its length, and
// taking it apart into key and value.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

// Grows to the longest line read so far; lines are never cut into pieces, so
// the tail of a long line can never be taken for a key of its own.
struct settings_line_buffer {
  char* data = nullptr;
  std::size_t capacity = 0;

  settings_line_buffer() = default;
  settings_line_buffer(const settings_line_buffer&) = delete;
  settings_line_buffer& operator=(const settings_line_buffer&) = delete;
  ~settings_line_buffer() { std::free(data); }
};

// The next line as it stands in the file, line feed included when there is
// one; empty at the end of the file or on a read error (ferror tells which).
std::optional<std::string_view> settings_next_line(std::FILE* file, settings_line_buffer& buffer);

// The text of a line: everything before its first carriage return, then
// before its first line feed.
std::string_view settings_line_text(std::string_view raw_line);

struct settings_pair {
  std::string_view key;
  std::string_view value;
};

// Key and value of a line's text, or nothing when it holds no "=". The text
// ends at a NUL byte and at its last double quote; a value's opening quote is
// skipped.
std::optional<settings_pair> settings_split(std::string_view text);
