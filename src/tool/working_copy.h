// The working copy of the settings file that /bin/cp makes at a fixed path in
// /tmp. /tmp is writable by every user and the tool runs as root, so the
// path is never trusted:
//
//   1. whatever stands there is cleared: a file, link, FIFO or socket is
//      removed; a directory (someone else's tree, not ours to remove) is
//      renamed aside to a unique name beside it, and a warning says where;
//   2. the tool creates the file itself (O_CREAT|O_EXCL|O_NOFOLLOW, 0600);
//   3. cp fills it;
//   4. the path must still name that very file, as long as the settings file,
//      and the tool reads it through its own descriptor.
//
// The copy is removed by working_copy_remove once the store is done, or by
// its holder's destructor on any failure. A run killed before either leaves
// it behind; the next run clears it in step 1.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "settings/file_handle.h"
#include "tool/tool_paths.h"

struct working_copy {
  std::string path;
  unique_fd fd;  // open for reading and writing, at offset 0 once made
  dev_t device = 0;
  ino_t inode = 0;

  working_copy() = default;
  working_copy(const working_copy&) = delete;
  working_copy& operator=(const working_copy&) = delete;
  working_copy(working_copy&& other) noexcept;
  working_copy& operator=(working_copy&&) = delete;
  ~working_copy();  // removes the file, if the path still names it
};

// Has paths.copy_program copy paths.settings to paths.working_copy. Nothing,
// with the reason in err, when the path cannot be cleared, cp fails, or the
// file at the path is afterwards not the one made here or not as long as the
// settings file. A directory moved aside is told in warning.
std::optional<working_copy> working_copy_make(const tool_paths& paths, std::string* err,
                                              std::string* warning);

// Removes the copy now; false, with the reason in err, when that fails.
bool working_copy_remove(working_copy& copy, std::string* err);
