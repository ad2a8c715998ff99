// One line of the settings file: reading it whole, whatever its length, and
// taking it apart into key and value.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

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

// Reads a stream in large blocks and hands out its lines as views into the
// block, without a copy per line. The block grows to hold the longest line,
// so memory follows the longest line, not the file.
struct settings_line_reader {
  std::FILE* file = nullptr;
  std::vector<char> block = std::vector<char>(std::size_t{1} << 16);
  std::size_t begin = 0;    // first byte not yet handed out
  std::size_t scanned = 0;  // bytes from begin known to hold no line feed
  std::size_t end = 0;      // end of the bytes read
  unsigned generation = 0;  // changes whenever bytes in the block move
  bool at_end = false;      // end of file or read error (ferror tells which)
};

inline settings_line_reader settings_line_reader_for(std::FILE* file) {
  settings_line_reader reader;
  reader.file = file;
  return reader;
}

// The next line without its line feed; a last line without one counts too.
// The view stays valid until the next call.
std::optional<std::string_view> settings_read_line(settings_line_reader& reader);

// End of the bytes read: the lines after the current one, as far as they have
// been read, lie before it (for searching ahead).
inline const char* settings_read_end(const settings_line_reader& reader) {
  return reader.block.data() + reader.end;
}

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
