// The working copy of the settings file that /bin/cp makes at a fixed path in
// /tmp. The store never reads it: the new settings file is built from the
// settings file itself, through the one descriptor opened under the lock
// (settings_replace.h). The copy is still made because the module's other
// tools know a store by it: cp runs with the same two arguments as ever, the
// hash tool finds the copy beside it, and cp's status decides (not 0: the
// store fails and the settings stay as they were).
//
// cp writes where no other user can reach. What a cp does at its destination
// differs from one build to the next: it may truncate the file there, unlink
// it and create a new one with or without O_EXCL, follow a link found there,
// or set the copy's mode afterwards. At a fixed path in a directory that
// every user can write to, each of these habits gives another user a way to
// fail the store, read the settings, or have root write elsewhere. So:
//
//   - /tmp must have the sticky bit if others can write to it: without it
//     anyone could remove or rename root's files there, and nothing in it
//     can be trusted (the run is refused);
//   - the run makes a directory of root's, mode 0700, under a private
//     random name in /tmp (settings.module.tal.cp-XXXXXX), on /tmp's
//     filesystem, and keeps a descriptor of it;
//   - cp's child gets a mount namespace of its own, every mount in it made
//     private, and that directory, the one the descriptor names, bound over
//     /tmp (see run_program.h); then cp runs with exactly the settings path
//     and the fixed path, umask 077. Whatever cp does at
//     /tmp/settings.module.tal happens inside the run's directory, where no
//     one else can enter. It dies with the run, and whatever it started is
//     killed when it ends. It runs while the store does its own work, which
//     reads nothing of it; a store that fails meanwhile stops it, with its
//     group, before anything is removed;
//   - once cp has exited 0, the copy is what it left in the directory: a
//     regular file of root's (no link followed), or the store fails ("cp
//     exited 0 but made no copy"). It gets mode 0600 and is put at the
//     fixed path in one step (renameat2 RENAME_EXCHANGE): whatever stood
//     there, a file, a link, a FIFO or a directory, ends up in the run's
//     directory, where it is removed, or, a directory (someone else's tree,
//     not ours to remove), moved aside within /tmp and named in a warning.
//     With nothing there the free name is taken without replacing (a
//     squatter who takes it first means another try). A kernel without
//     either gets a plain rename, which replaces anything but a directory.
//     The copy is then known by its device and inode, and the directory is
//     removed. The hash tool runs with the copy at the fixed path, root's
//     and 0600, and the run removes it afterwards, never a file that took
//     its place.
//
// Where no mount namespace can be had (a container without CAP_SYS_ADMIN, a
// kernel that refuses unshare or the bind), the child says so and exits
// before exec: cp never runs on the host's /tmp that way. The run then
// places a file of its own at the fixed path by the same exchange, starts
// cp again at it, and its log line warns that cp ran without a private /tmp.
// Only that fallback needs the file placed first (so that nothing another
// user put there is what cp writes into), umask 077 (so that a file cp
// creates anew is root's alone) and the identification of the copy as a
// root's regular file once cp has run (a cp may have made it anew, and only
// what it made is the run's to remove). A settings file that lies under
// /tmp, which cp would not find in its own /tmp, takes the fallback too.
//
// The copy is removed by working_copy_remove once the store is done, or by
// its holder's destructor on any failure. A run killed before either leaves
// the copy, its private directory or its file under a private name behind;
// the next run clears all three.
#pragma once

#include <sys/types.h>

#include <string>

#include "process/run_program.h"
#include "sys/failure.h"
#include "sys/file_handle.h"

struct working_copy_request {
  const char* settings;      // cp's source: the settings path as the device names it
  const char* path;          // cp's destination, the working copy's fixed path
  const char* copy_program;  // /bin/cp
  program_bound bound;       // cp's time bound
  int place_attempts;        // the path taken again each time: given up
  bool private_tmp;          // false: the settings lie under /tmp, cp runs on the host's
  off_t settings_size;       // what the copy needs, for the reason when cp fails
};

struct working_copy {
  working_copy_request request{};
  std::string path;  // empty: nothing at the fixed path is the run's
  dev_t device = 0;  // the run's file there
  ino_t inode = 0;
  std::string tmp;          // the fixed path's directory, /tmp
  std::string private_dir;  // cp's own /tmp; empty once removed, or without one
  unique_fd private_fd;
  running_program cp;

  working_copy() = default;
  working_copy(const working_copy&) = delete;
  working_copy& operator=(const working_copy&) = delete;
  working_copy(working_copy&&) = delete;
  working_copy& operator=(working_copy&&) = delete;
  ~working_copy();  // stops a cp still running, then removes the copy and the directory
};

// Starts request.copy_program copying request.settings to request.path, in
// *copy, and returns at once: the caller works on meanwhile. False, with the
// reason in err, when /tmp cannot be trusted, the directory or the path
// cannot be made, or cp cannot be started.
bool working_copy_start(const working_copy_request& request, working_copy* copy, std::string* err,
                        warning_list& warnings);

// Waits for cp within its bound, and puts the copy at the fixed path:
// failed, with the reason in err, when cp failed or was stopped at its bound
// or left no copy; woken, with cp still running, when the signal wake came
// first (see program_wait_or_wake). A cp that had to run without a private
// /tmp, and a directory moved aside, get a warning.
program_wait_end working_copy_finish(working_copy& copy, int wake, std::string* err,
                                     warning_list& warnings);

// Removes the copy now; false, with the reason in err, when that fails.
bool working_copy_remove(working_copy& copy, std::string* err);
