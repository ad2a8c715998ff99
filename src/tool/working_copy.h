// The working copy of the settings file that /bin/cp makes at a fixed path in
// /tmp. /tmp is writable by every user and the tool runs as root, so the
// path is never trusted: whatever stands there (a link, a FIFO, a file with
// forged lines) is removed, the tool creates the file itself, exclusively and
// without following links, lets cp fill it, checks that cp filled that very
// file whole, and reads it through its own descriptor.
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

// Has paths.copy_program copy paths.settings to paths.working_copy. Nothing
// when a directory stands at the path, cp fails, or the file at the path is
// afterwards not the one made here or not as long as the settings file.
std::optional<working_copy> working_copy_make(const tool_paths& paths);
