// One run of the tool at a time, whatever the section: every run holds an
// exclusive flock on a lock file beside the settings file from before it
// reads anything until its working copy is gone.
//
// The lock lives where the replacement happens: in the directory of the
// settings file itself, symbolic links resolved (for settings, .settings.lock),
// which must be writable for the new file anyway. So a settings path that is
// a link from a read-only directory into writable storage works from the
// first run on. Calling sequence:
//
//   - the earlier versions' lock (tool_paths::earlier_versions_lock), when it exists
//     and is not the same file: taken first, never created, so that a run of
//     an earlier version and a run of this one exclude each other while a
//     router is upgraded;
//   - resolve the settings path, lock the lock file beside the file it
//     names, resolve again: when a link was re-pointed meanwhile, unlock and
//     start again (a bounded number of times);
//   - the run then works on the resolved path only, but for cp's argument,
//     and checks after cp that the settings path still names it
//     (section_lock_still_names).
//
// Only root can take the lock: a lock file is root's, mode 0600, so no other
// user can open it, and a user who can open the directory or the settings
// file cannot hold stores up by locking those. The file stays in the
// directory for good; it is never removed or recreated, since a lock file
// that is unlinked while another run waits on it would let two runs in at
// once. One that is not a regular file of root's with no group or other
// permission is refused, not repaired: repairing races. On vfat and exFAT,
// which give every file the mode of their mount options, the mode is
// accepted, with a warning: other users may open the file there and hold
// stores up (flock needs no write permission). Any call that fails while
// the locks are taken ends the attempt at once with its reason.
#pragma once

#include <chrono>
#include <string>

#include "sys/failure.h"
#include "sys/file_handle.h"

struct section_lock {
  std::string target;          // the settings file as locked, with no symbolic link left
  unique_fd earlier_versions;  // the earlier versions' lock, when it was taken
  unique_fd lock;              // the lock beside target
};

struct section_lock_limits {
  std::chrono::milliseconds wait;  // for the locks, in all
  int resolve_attempts;            // a link re-pointed more often: not locked
};

// The locks, in *locks until it goes; false, with the reason in err, when the
// settings path does not resolve or keeps being re-pointed, a lock file
// cannot be opened or is not as it must be, or the locks are not obtained
// within limits.wait. A lock file others
// can open (vfat) gets a warning.
bool section_lock_take(const char* settings_path, const char* earlier_versions_lock,
                       const section_lock_limits& limits, section_lock* locks, std::string* err,
                       warning_list& warnings);

// True when settings_path still resolves to the locked file.
bool section_lock_still_names(const section_lock& held, const char* settings_path);
