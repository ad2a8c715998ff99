// The settings file's key=value format: key comparison, numbers, the lookup
// of a section's keys, and the writers of its lines. Keys compare without
// regard to the case of A to Z; the first line that holds a key wins.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "settings/settings_line.h"
#include "sys/file_handle.h"

// A number as "%u" reads it: leading white space, an optional sign, digits up
// to the first other character; "-1" is 4294967295, "abc" is 0.
std::uint32_t settings_parse_uint(std::string_view text);

// The parts of a file that are plain lines (settings_find_not_plain): lines
// the format keeps as they stand, which nothing looking for the marker needs
// to read again. Offsets in the file: it is plain before start and from tail
// to end.
struct settings_plain_parts {
  off_t start = 0;
  off_t tail = -1;  // -1: nothing known past start; read on to the end
  off_t end = -1;
};

// One pass over the whole file from its start (pread: the descriptor's
// position is neither used nor moved) that gives, for each of keys, the
// value of the first line holding it (values[i] stays empty when absent),
// and in *plain the plain parts. False, with the reason in err, when a read
// or an allocation failed.
//
// marker: two bytes that every line holding one of keys holds, without
// regard to case (a line holds a key when its text begins with it); only
// the lines that are not plain under it are taken apart.
bool settings_find_all(const named_fd& in, std::span<const std::string> keys,
                       std::span<std::optional<std::string>> values,
                       const settings_pair_marker& marker, settings_plain_parts* plain,
                       std::string* err);

// Each appends one line to out: key, "=", the value and a line feed.
// A text value is cut at its first NUL and to max_length bytes, and quoted
// when it holds a blank or a double quote, so that it reads back as it was.
void settings_write_string(std::string& out, std::string_view key, std::string_view value,
                           std::size_t max_length);
// Zero is written as "0" when force, else as an empty value.
void settings_write_uint(std::string& out, std::string_view key, std::uint32_t value, bool force);
// 0 or 1.
void settings_write_bool(std::string& out, std::string_view key, std::uint32_t value);
