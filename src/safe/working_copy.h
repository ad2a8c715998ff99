// The working copy of the settings file that /bin/cp makes at a fixed path in
// /tmp. The store never reads it: the new settings file is built from the
// settings file itself, through the one descriptor opened under the lock
// (settings_replace.h). A file at a fixed path in a directory every process
// can reach proves nothing about what was read, whatever is checked on it:
// a writer that cp left behind, or any root process, may change it at any
// instant. The copy is still made because the module's other tools know a
// store by it: cp runs with the same two arguments as ever, the hash tool
// finds the copy beside it, and cp's status decides (not 0: the store fails
// and the settings stay as they were).
//
// The fixed path is never trusted, and no other user can stop a store, or
// have root write through it, by squatting it:
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
//      it runs with umask 077, so a file it creates is root's alone. It dies
//      with the run, and whatever it started is killed when it ends (see
//      run_program.h). It runs while the store does its own work, which reads
//      nothing of it; a store that fails meanwhile stops it, with its group,
//      before anything is removed;
//   4. once cp has exited, the copy is what stands at the path: a regular
//      file of root's, known from then on by its device and inode, so that
//      the run removes what cp made even when cp made it anew, and never a
//      file that took its place. Anything else there is not the run's, and
//      stays.
//
// The copy is removed by working_copy_remove once the store is done, or by
// its holder's destructor on any failure. A run killed before either leaves
// it behind, and perhaps its file under a private name; the next run clears
// both.
#pragma once

#include <sys/types.h>

#include <string>

#include "process/run_program.h"
#include "sys/failure.h"

struct working_copy {
  std::string path;  // empty: nothing at the fixed path is the run's
  dev_t device = 0;  // the run's file there: its own until cp has run, then cp's
  ino_t inode = 0;
  running_program cp;

  working_copy() = default;
  working_copy(const working_copy&) = delete;
  working_copy& operator=(const working_copy&) = delete;
  working_copy(working_copy&&) = delete;
  working_copy& operator=(working_copy&&) = delete;
  ~working_copy();  // stops a cp still running, then removes the copy
};

struct working_copy_request {
  const char* settings;      // cp's source: the settings path as the device names it
  const char* path;          // cp's destination, the working copy's fixed path
  const char* copy_program;  // /bin/cp
  program_bound bound;       // cp's time bound
  int place_attempts;        // the path taken again each time: given up
};

// Starts request.copy_program copying request.settings to request.path, in
// *copy, and returns at once: the caller works on meanwhile. False, with the
// reason in err, when the directory cannot be trusted, the path cannot be
// taken, or cp cannot be started. A directory moved aside gets a warning.
bool working_copy_start(const working_copy_request& request, working_copy* copy, std::string* err,
                        warning_list& warnings);

// Waits for cp within its bound: failed, with the reason in err, when cp
// failed or was stopped at its bound; woken, with cp still running, when the
// signal wake came first (see program_wait_or_wake).
program_wait_end working_copy_finish(working_copy& copy, int wake, std::string* err);

// Removes the copy now; false, with the reason in err, when that fails.
bool working_copy_remove(working_copy& copy, std::string* err);
