// Reading the configuration text the tool is asked to store.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Up to this many bytes of the input file are read.
inline constexpr std::size_t config_text_max_read = 16383;

// The text of the file at path: its first bytes, at most config_text_max_read,
// up to the first NUL byte. One byte more than config_text_max_read (the
// next one, read to tell) means the text goes on past the limit: its true
// length is not known, only that it is longer. A pipe, a FIFO or /dev/stdin
// reads as well as a file. Nothing, with the reason in err, when the file
// cannot be opened or read (a directory opens, but does not read).
std::optional<std::string> config_text_read(const char* path, std::string* err);
