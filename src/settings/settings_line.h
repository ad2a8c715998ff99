// The lines of the settings file: reading them in whole runs, finding the few
// that need a closer look, and the rules that take one line apart.
//
// Nearly every line of the file is left as it is by both the loader and the
// rewrite, so neither looks at lines one by one. The reader hands out runs
// of whole lines; the caller searches a run for its markers, bytes that
// every line it must look at holds (the rewrite: a carriage return or the
// section's pattern; the loader: the bytes its keys share), and takes only
// the lines around a marker apart with the line rules below. Everything
// between markers is copied, or passed over, in one piece. Why each marker
// is enough is said where it is chosen, next to the rule it serves.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sys/file_handle.h"

// Reads a stream in blocks. Lines are never cut into pieces, so the tail of
// a long line can never be taken for a key of its own: the block grows to
// hold the longest line, and is filled a bounded step at a time while it
// grows, so memory follows the longest line, not the file.
//
// The fields are the reader's own; callers use the functions below.
struct settings_line_reader {
  named_fd in{-1, {}};
  std::unique_ptr<char, decltype(&std::free)> block{nullptr, &std::free};
  std::size_t capacity = 0;
  std::size_t begin = 0;    // first byte not yet handed out
  std::size_t scanned = 0;  // bytes from begin known to hold no line feed
  std::size_t end = 0;      // end of the bytes read
  bool at_end = false;      // end of file or a failed read
  int error = 0;            // errno of a failed read or allocation
  off_t offset = 0;         // where in the file the next read starts
  off_t left = -1;          // bytes it may still read; -1: up to the end of the file
};

// Reads from offset from on, with pread(2): no stream between the file and
// the block, so no byte is copied twice, and the descriptor's own position is
// neither used nor moved. With a limit, it reads no more than that many bytes.
settings_line_reader settings_line_reader_for(const named_fd& in, off_t from, off_t limit = -1);

// Hands out in *lines the next run of whole lines, each with its line feed,
// as much as the block holds; at the end of the file the run may end with a
// last line without one, and after it the run is empty. The view stays valid
// until the next call. False, with the reason in err, when a read or the
// block's growth (ENOMEM: no room for a line) failed.
bool settings_read_lines(settings_line_reader& reader, std::string_view* lines, std::string* err);

// Two bytes searched for side by side, as they stand or, folded, without
// regard to the case of letters (a byte matches when it equals the wanted
// one with bit 0x20 set on both: A-Z as a-z, and now and then a byte that is
// no letter, which only costs a closer look).
struct settings_pair_marker {
  char first;
  char second;
  bool folded;
};

// The one rule of what the format keeps as it stands: a plain line is a
// whole line, ended by its line feed, that holds neither a carriage return
// nor the marker. The loader calls the parts of a file made of plain lines
// plain (with its folded marker, which stands wherever the rewrite's does),
// and the rewrite copies exactly those unread; both find the lines that are
// not plain here. Returns where the first byte at or after from stands that
// makes its line not plain (a carriage return or the pair), or text.size().
// A last line without a line feed is the caller's to tell. The pair is
// searched 16 bytes a step: this search is most of what a store spends on
// the file's bytes (see doc/benchmark.md).
std::size_t settings_find_not_plain(std::string_view text, std::size_t from,
                                    const settings_pair_marker& marker);

// The line of text that holds position at, without its line feed; it starts
// no earlier than from, which must be a line's start.
std::string_view settings_line_around(std::string_view text, std::size_t from, std::size_t at);

// The rules of one line. These are the only ones: the markers above only
// choose which lines they are applied to.

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
