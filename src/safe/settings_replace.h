// Replacing the settings file so that, at every instant and across a power
// loss, it holds either its old content or its new content, whole, and so
// that no other user can open the new file before it is in place with no
// more access than the old file gave.
//
// The new file is built from the settings file itself, read through one
// descriptor opened here under the run's lock: the same descriptor serves
// the load, the rewrite and the copying of the old file's attributes, and no
// child of the run holds it (O_CLOEXEC; the runner closes the rest).
//
//   settings_replace_open    opens the settings file at target, a path with
//                            no symbolic link left in it: only a regular
//                            file, and the very file target named (device
//                            and inode) when it was looked at; nothing else
//                            is ever opened there;
//   (read through .settings, at offsets: its position is nobody's state)
//   settings_replace_begin   creates the new file beside it: root's, mode
//                            0600. Under a default ACL of the directory, a
//                            file created 0600 gets the mask ---, so no
//                            inherited entry is effective.
//   (write through .fd)
//   settings_replace_commit  in this order, each step for a reason:
//     1. (the writer has flushed: the content is complete before anyone but
//        root may open the file);
//     2. mode 0: the owner set next gets nothing before the final mode;
//     3. the old owner and group (chown keeps an ACL and clears set-id bits,
//        which step 5 restores);
//     4. the old access ACL, or none: an inherited one is removed; removing
//        leaves the group bits at the mask, still 0; the user.* attributes
//        and security labels;
//     5. the old mode with its set-id bits: from here on the file gives each
//        user exactly what the old one gave;
//     6. fsync: the permissions are as durable as the content;
//     7. close, rename over the old file;
//   settings_replace_sync_directory
//     8. fsync the directory: the rename is durable.
//
// Any failure before the rename leaves the settings file as it was; the
// holder's destructor removes the new file, so a failed run needs no
// cleanup call. Once commit has returned true the new content is in place;
// a failed directory sync after it means only that the rename may not yet
// be durable. A run killed half-way leaves its new file,
// .settings.tal-setconf-XXXXXX, which settings_replace_remove_leftovers
// removes on the next run.
#pragma once

#include <string>

#include "sys/failure.h"
#include "sys/file_handle.h"

struct settings_replacement {
  std::string target;     // the settings file itself, symbolic links resolved
  std::string temp_path;  // the new file; empty once renamed into place or removed
  unique_fd settings;     // the settings file, read-only: read, then its attributes copied
  unique_fd directory;    // the target's directory, synced after the rename
  unique_fd fd;           // the new file, opened for writing

  settings_replacement() = default;
  settings_replacement(const settings_replacement&) = delete;
  settings_replacement& operator=(const settings_replacement&) = delete;
  settings_replacement(settings_replacement&&) = delete;
  settings_replacement& operator=(settings_replacement&&) = delete;
  ~settings_replacement();  // removes a new file that was not committed
};

// Opens the settings file at target in *made. False, with the reason in
// err, when target is missing, not a regular file, or not the file it named
// a moment before. A settings file with other hard links gets a warning:
// only this name gets the new content.
bool settings_replace_open(const std::string& target, settings_replacement* made, std::string* err,
                           warning_list& warnings);

// Creates the new file beside the opened settings file. False, with the
// reason in err, when it cannot be made.
bool settings_replace_begin(settings_replacement& replacement, std::string* err);

// Steps 1 to 7: true once the new content is in place. An attribute that had
// to be dropped (the filesystem cannot hold it) gets a warning.
bool settings_replace_commit(settings_replacement& replacement, std::string* err,
                             warning_list& warnings);

// Step 8, after a commit.
bool settings_replace_sync_directory(settings_replacement& replacement, std::string* err);

// Removes the new files that runs killed half-way left beside the settings
// file at target. Call only while holding the lock that keeps other runs out.
bool settings_replace_remove_leftovers(const std::string& target, std::string* err);
