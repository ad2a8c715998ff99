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
// Only this tool takes the run's lock; the platform's other tools, a script's
// sed -i or an operator's editor may change the file during a store. Such a
// change is kept, and the store steps back (exit 2, "<path> was changed by
// another process during the store"):
//   - in place: the descriptor holds a read lease (F_SETLEASE F_RDLCK) from
//     the open until the commit. Any later open for writing, or truncate,
//     breaks it; that open waits until the run closes the descriptor: at
//     most until the store ends, cp's bound included, and never longer than
//     fs.lease-break-time, after which the kernel takes the lease away;
//   - by rename or unlink, which no lease sees: the commit checks what it
//     displaced.
// Where no lease can be had (a process already holds the file open for
// writing, leases switched off or refused by the filesystem, as network
// filesystems do, or no CAP_LEASE on a file not the tool's own) the store
// goes on, with the check of the displaced file, and its log line says that
// changes in place were not watched.
//
//   settings_replace_open    opens the settings file at target, a path with
//                            no symbolic link left in it: only a regular
//                            file, and the very file target named (device
//                            and inode) when it was looked at; nothing else
//                            is ever opened there. Takes the lease;
//   (read through .settings, at offsets: its position is nobody's state)
//   settings_replace_begin   creates the new file beside it: root's, mode
//                            0600. Under a default ACL of the directory, a
//                            file created 0600 gets the mask ---, so no
//                            inherited entry is effective.
//   (write through .fd)
//   settings_replace_prepare in this order, each step for a reason:
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
//     6. fsync, close: the content and permissions are durable;
//   settings_replace_commit
//     7. renameat2 RENAME_EXCHANGE of the new file and the settings file:
//        the new file is in place and the old one stands under the new
//        file's name;
//     8. the file displaced must be the one read (device and inode) and the
//        lease unbroken; otherwise the exchange is undone, and the other
//        writer's file, or its change, stays. A writer waiting on the broken
//        lease goes on once the descriptor is closed;
//     9. close the descriptor, remove the displaced old file;
//   settings_replace_sync_directory
//    10. fsync the directory: the exchange and the removal are durable.
//
// What a writer that takes no lock may still meet: one that opened the old
// file before the exchange and writes after step 9 writes into a file that
// no longer has the name. That window is the few instructions between the
// lease check of step 8 and the close of step 9. Where the filesystem has no
// exchange (EINVAL: JFFS2, FUSE), step 8's checks are made on the path right
// before a plain rename; a rename over the path between the two is then lost
// (the window is those two calls).
//
// Any failure before step 7 leaves the settings file as it was; the holder's
// destructor removes the new file, so a failed run needs no cleanup call.
// After a power cut at any point the settings path holds the old or the new
// file, whole; the other may stand under the new file's name, where the next
// run's settings_replace_remove_leftovers removes it with every other file a
// killed run left (.settings.tal-setconf-XXXXXX). Once commit has returned
// true the new content is in place; a failed directory sync after it means
// only that the exchange may not yet be durable.
#pragma once

#include <sys/types.h>

#include <string>

#include "sys/failure.h"
#include "sys/file_handle.h"

struct settings_replacement {
  std::string target;     // the settings file itself, symbolic links resolved
  std::string temp_path;  // the new file; empty once renamed into place or removed
  unique_fd settings;     // the settings file, read-only, leased when it could be
  dev_t device = 0;       // of the settings file as opened
  ino_t inode = 0;
  bool leased = false;
  unique_fd directory;  // the target's directory, synced after the rename
  unique_fd fd;         // the new file, opened for writing

  settings_replacement() = default;
  settings_replacement(const settings_replacement&) = delete;
  settings_replacement& operator=(const settings_replacement&) = delete;
  settings_replacement(settings_replacement&&) = delete;
  settings_replacement& operator=(settings_replacement&&) = delete;
  ~settings_replacement();  // removes a new file that was not committed
};

// Opens the settings file at target in *made, and leases it. False, with the
// reason in err, when target is missing, not a regular file, or not the file
// it named a moment before. A settings file with other hard links gets a
// warning (only this name gets the new content), as does one that could not
// be leased.
bool settings_replace_open(const std::string& target, settings_replacement* made, std::string* err,
                           warning_list& warnings);

// Creates the new file beside the opened settings file. False, with the
// reason in err, when it cannot be made.
bool settings_replace_begin(settings_replacement& replacement, std::string* err);

// Steps 1 to 6. An attribute that had to be dropped (the filesystem cannot
// hold it) gets a warning.
bool settings_replace_prepare(settings_replacement& replacement, std::string* err,
                              warning_list& warnings);

// Steps 7 to 9: true once the new content is in place. False, with the
// reason in err, when it could not be put there or the settings file was
// changed by another process; the settings are then as that process left
// them. An old file that could not be removed gets a warning.
bool settings_replace_commit(settings_replacement& replacement, std::string* err,
                             warning_list& warnings);

// Step 10, after a commit.
bool settings_replace_sync_directory(settings_replacement& replacement, std::string* err);

// Removes the new files that runs killed half-way left beside the settings
// file at target. Call only while holding the lock that keeps other runs out.
bool settings_replace_remove_leftovers(const std::string& target, std::string* err);
