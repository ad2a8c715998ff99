// Reading the configuration text the tool is asked to store.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// What the tool put on the standard descriptors (0, 1, 2) that were closed
// when it started: one file, told by its device and inode. A FILE that
// resolves to it (/dev/stdin with standard input closed) names no input; with
// /dev/null there, it would read as an empty text and erase the section's.
struct closed_stdio {
  bool any = false;  // false: every standard descriptor was open
  dev_t device = 0;
  ino_t inode = 0;
};

// The text of the file at path, in *text: its first bytes, at most config_text_max_read,
// up to the first NUL byte. One byte more than config_text_max_read (the
// next one, read to tell) means the text goes on past the limit: its true
// length is not known, only that it is longer. A pipe, a FIFO or /dev/stdin
// reads as well as a file. False, with the reason in err, when the file
// cannot be opened or read (a directory opens, but does not read), or is the
// placeholder of a standard descriptor that was closed.
bool config_text_read(const char* path, const closed_stdio& closed, std::string* text,
                      std::string* err);
