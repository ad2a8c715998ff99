// The settings file's key=value format: opening, key lookup, typed readers
// and writers. Keys compare without regard to the case of A to Z; the first
// line that holds a key wins.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "settings/file_handle.h"

// Longest text value a writer puts on a line; longer values are cut.
inline constexpr std::size_t settings_max_value_length = 16000;

// mode is "r" or "w" (which empties the file). The stream is close-on-exec, so
// no program the tool starts inherits it. Its holder closes it; a stream
// whose writes matter is closed with file_close_checked.
file_stream settings_open(const char* path, const char* mode);

bool settings_keys_equal(std::string_view a, std::string_view b);

// Value of the first line at or after the stream's position whose key equals
// key; nothing at the end of the file or on a read error. Does not rewind;
// afterwards the stream stands right after the line found.
std::optional<std::string> settings_find(std::FILE* file, std::string_view key);

// Both rewind first. A null stream or an absent key gives "" and 0.
std::string settings_read_string(std::FILE* file, std::string_view key);
std::uint32_t settings_read_uint(std::FILE* file, std::string_view key);

// A number as "%u" reads it: leading white space, an optional sign, digits up
// to the first other character; "-1" is 4294967295, "abc" is 0.
std::uint32_t settings_parse_uint(std::string_view text);

// One pass from the stream's position to its end that gives, for each of keys,
// the value of the first line holding it (values[i] stays empty when absent).
// Returns 0, or the errno of a failed read or allocation.
int settings_find_all(std::FILE* file, std::span<const std::string> keys,
                      std::span<std::optional<std::string>> values);

// Each writes one line and returns false when it could not. A null stream
// writes nothing.
bool settings_write_string(std::FILE* file, std::string_view key, std::string_view value);
bool settings_write_uint(std::FILE* file, std::string_view key, std::uint32_t value, bool force);
bool settings_write_bool(std::FILE* file, std::string_view key, std::uint32_t value);
