// The working copy of the settings file that /bin/cp makes at a fixed path in
// /tmp. /tmp is writable by every user and the tool runs as root, so the
// path is never trusted, and no other user can stop a store by squatting it:
//
//   1. /tmp must have the sticky bit if others can write to it: without it
//      anyone could remove or rename root's files there, and no fixed path in
//      it can be trusted (the run is refused);
//   2. the tool makes its own empty file, root's, 0600, under a private
//      random name beside the fixed path, and puts it at the fixed path in
//      one step (renameat2 RENAME_EXCHANGE): whatever stood there, a file, a
//      link, a FIFO or a directory, ends up under the private name, where it
//      is removed, or, a directory (someone else's tree, not ours to remove),
//      left and named in a warning. In a sticky /tmp no other user can then
//      remove or rename root's file. A kernel without the exchange gets a
//      plain rename, which replaces anything but a directory;
//   3. cp gets exactly the settings path and the fixed path. It may truncate
//      the file there or unlink it and create a new one (as BusyBox's does);
//   4. the path is opened without following a link and accepted only as
//      what a cp of root's makes and another user cannot: a regular file of
//      root's with one link and the settings file's size. It is read only
//      through that descriptor.
//
// The copy is removed by working_copy_remove once the store is done, or by
// its holder's destructor on any failure. A run killed before either leaves
// it behind, and perhaps its file under a private name; the next run clears
// both.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "settings/file_handle.h"
#include "tool/tool_paths.h"

struct working_copy {
  std::string path;
  unique_fd fd;  // read-only, at offset 0 once accepted
  dev_t device = 0;
  ino_t inode = 0;

  working_copy() = default;
  working_copy(const working_copy&) = delete;
  working_copy& operator=(const working_copy&) = delete;
  working_copy(working_copy&& other) noexcept;
  working_copy& operator=(working_copy&&) = delete;
  ~working_copy();  // removes the file, if the path still names it
};

// Has paths.copy_program copy paths.settings to paths.working_copy; target is
// the settings file it names, symbolic links resolved, whose size the copy
// must have. Nothing, with the reason in err, when /tmp cannot be trusted,
// the path cannot be taken, cp fails, or what is at the path afterwards is
// not a copy that root made. A directory moved aside is told in warning.
std::optional<working_copy> working_copy_make(const tool_paths& paths, const std::string& target,
                                              std::string* err, std::string* warning);

// Removes the copy now; false, with the reason in err, when that fails.
bool working_copy_remove(working_copy& copy, std::string* err);
