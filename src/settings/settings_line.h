// One line of the settings file: reading it whole, whatever its length, and
// taking it apart into key and value. This is the one line reader: the
// loader, the key lookup and the rewrite's copy all read through it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sys/file_handle.h"

// Reads a stream in blocks and hands out its lines as views into the block,
// without a copy per line. Lines are never cut into pieces, so the tail of a
// long line can never be taken for a key of its own. The block grows only to
// hold the longest line, and is filled a bounded step at a time while it
// grows, so memory follows the longest line, not the file.
//
// The fields are the reader's own; callers use the functions below.
struct settings_line_reader {
  named_stream in{nullptr, {}};
  std::unique_ptr<char, decltype(&std::free)> block{nullptr, &std::free};
  std::size_t capacity = 0;
  std::size_t begin = 0;    // first byte not yet handed out
  std::size_t scanned = 0;  // bytes from begin known to hold no line feed
  std::size_t end = 0;      // end of the bytes read
  unsigned generation = 0;  // changes whenever bytes in the block move
  bool at_end = false;      // end of file, read error or no memory
  int error = 0;            // errno of a failed read or allocation
};

settings_line_reader settings_line_reader_for(const named_stream& in);

// Hands out the next line in *line, without its line feed (a last line
// without one counts too), or nothing at the end of the file. The view stays
// valid until the next call. False, with the reason in err, when a read or
// the block's growth (ENOMEM: no room for a line) failed.
bool settings_read_line(settings_line_reader& reader, std::optional<std::string_view>* line,
                        std::string* err);

// A text searched for in the lines of one reader. The search runs over all
// the bytes read so far and the hit is reused for the lines before it: most
// lines hold neither the section's pattern nor a carriage return, and are
// then not searched one by one. Measured on the benchmark's 10 MB settings
// file, rewritten to /dev/null (best of 30, 2-core EPYC VM, g++ 12 -O3): 4.3
// ms instead of 6.9 ms for ospf, 4.5 ms instead of 7.0 ms for pim_sm, with a
// search per line for the pattern and the carriage return; the whole store
// of that file takes about 25 ms.
struct settings_needle {
  std::string_view text;
  const char* at = nullptr;  // the reader's own bookkeeping
  unsigned generation = 0;
  bool valid = false;
};

// Searches the bytes read from line on; the slow path of settings_line_holds.
void settings_needle_search(const settings_line_reader& reader, settings_needle& needle,
                            std::string_view line);

// Whether needle.text occurs in line, which is the line the reader last
// handed out or a front part of it. Inline: it is asked twice per line, and
// most of the time the answer is the last search's.
inline bool settings_line_holds(const settings_line_reader& reader, settings_needle& needle,
                                std::string_view line) {
  if (!needle.valid || needle.generation != reader.generation || needle.at < line.data()) {
    settings_needle_search(reader, needle, line);
  }
  return needle.at < line.data() + line.size();
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
