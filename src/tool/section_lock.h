// One run of the tool at a time, whatever the section: every run holds an
// exclusive flock on a lock file beside the settings file from before it
// touches anything until its working copy is gone.
//
// Only root can take the lock: the file is root's, mode 0600, so no other
// user can open it, and a user who can open the directory or the settings
// file cannot hold stores up by locking those. The file stays in the
// directory for good; it is never removed or recreated, since a lock file
// that is unlinked while another run waits on it would let two runs in at
// once. One that is not a regular file of root's with no group or other
// permission is refused, not repaired: repairing races.
#pragma once

#include <chrono>
#include <string>

#include "settings/file_handle.h"

// The lock, held until the returned descriptor closes; an empty descriptor,
// with the reason in err, when the lock file cannot be opened, is not as it
// must be, or another run holds the lock for longer than wait.
unique_fd section_lock(const char* lock_path, std::chrono::milliseconds wait, std::string* err);
