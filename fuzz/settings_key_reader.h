// The per-key readers of the settings format, the plainest way: every lookup
// reads the file one byte at a time from where the stream stands (the
// readers: from its start) and takes each whole line apart. The tool itself
// loads a section in one pass (settings_find_all); the fuzz target and the
// unit tests check that pass against these, which share no code with it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include <memory>

// Closes a stream on every path out of the code that opened it.
struct file_closer {
  void operator()(std::FILE* file) const { static_cast<void>(std::fclose(file)); }
};
using file_stream = std::unique_ptr<std::FILE, file_closer>;

// mode is "r" or "w" (which empties the file).
file_stream settings_open(const char* path, const char* mode);

// Value of the first line at or after the stream's position whose key equals
// key without regard to the case of A to Z; nothing at the end of the file.
// Does not rewind; afterwards the stream stands right after the line found.
std::optional<std::string> settings_find(std::FILE* file, std::string_view key);

// Both rewind first. A null stream or an absent key gives "" and 0; a number
// is read as "%u" reads it.
std::string settings_read_string(std::FILE* file, std::string_view key);
std::uint32_t settings_read_uint(std::FILE* file, std::string_view key);
