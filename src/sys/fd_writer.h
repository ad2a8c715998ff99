// Writing a new file through a descriptor with few calls and little copying:
// small pieces are gathered, a large one goes to the descriptor as it stands,
// and every write but the last ends on a page boundary of the file.
//
// The settings file is rewritten mostly in long runs of kept lines taken
// straight from the read block, which end wherever a line ends. A stream
// (FILE*) would copy each run into its own buffer first, most of a large
// store's instructions; here only what is held back to the next page
// boundary is copied. Writes that start and end mid-page cost the kernel more,
// in the write and in its fsync, than writes on page boundaries. The figures
// are in doc/benchmark.md.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "sys/file_handle.h"

struct fd_writer {
  int fd = -1;
  std::string_view path;  // for the reason of a failure
  off_t written = 0;      // bytes in the file so far
  std::string pending;    // what follows them
};

// A writer for a file opened for writing, empty, at offset 0.
fd_writer fd_writer_for(const named_fd& file);

// Writes data, or keeps it for later. False, with the reason in err, when a
// write failed.
bool fd_writer_add(fd_writer& writer, std::string_view data, std::string* err);

// Appends length bytes of from, read at offset (pread, or sendfile with an
// offset: from's own position is neither used nor moved), without bringing
// them into this process where the kernel can.
bool fd_writer_copy(fd_writer& writer, int from, off_t offset, off_t length, std::string* err);

// Writes what was kept.
bool fd_writer_flush(fd_writer& writer, std::string* err);
