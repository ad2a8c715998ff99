// The settings format read the plainest way: one key at a time, over the
// whole text of the file, every line taken apart. The tool itself loads a
// section in one pass over blocks of the file (settings_find_all); the fuzz
// target and the unit tests check that pass against this reader, which
// shares no code with it: a reference built from the tool's own rules would
// agree with their faults.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Closes a stream on every path out of the code that opened it.
struct file_closer {
  void operator()(std::FILE* file) const { static_cast<void>(std::fclose(file)); }
};
using file_stream = std::unique_ptr<std::FILE, file_closer>;

// mode is "r" or "w" (which empties the file).
file_stream settings_open(const char* path, const char* mode);

// Value of the first line of content whose key equals key without regard to
// the case of A to Z; nothing when no line holds it.
std::optional<std::string> settings_find(std::string_view content, std::string_view key);

// A value as the C library's "%u" reads it; 0 when it holds no number.
std::uint32_t settings_scan_uint(std::string_view value);
