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
//      it runs with umask 077, so a file it creates is root's alone. It dies
//      with the run, and whatever it started is killed when it ends (see
//      run_program.h): no cp of a killed run writes into a later run's copy;
//   4. the path is opened without following a link and accepted only as
//      what a cp of root's makes and another user cannot: a regular file of
//      root's with one link, no group or other permission and the settings
//      file's size. It is read only through that descriptor;
//   5. what is read is exactly what cp made, or the store fails: a read lease
//      (F_SETLEASE F_RDLCK) is taken on the accepted copy, which fails while
//      any process has the file open for writing, and which any later open
//      for writing or truncate breaks; such an open waits until the lease is
//      released, so no byte changes unseen. working_copy_finish_reading
//      checks, after the last read, that the lease is unbroken and that
//      exactly the accepted size was read. (An inotify watch would see writes
//      only from when it is added, not a writer that already holds the file
//      open; size and change time miss a same-size rewrite within one tick.)
//      The kernel tells a break with SIGIO, which the tool ignores.
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
#include "sys/file_handle.h"

struct working_copy {
  std::string path;
  unique_fd fd;    // read-only, at offset 0 once accepted; leased until finished
  off_t size = 0;  // as accepted
  dev_t device = 0;
  ino_t inode = 0;

  working_copy() = default;
  working_copy(const working_copy&) = delete;
  working_copy& operator=(const working_copy&) = delete;
  working_copy(working_copy&&) = delete;
  working_copy& operator=(working_copy&&) = delete;
  ~working_copy();  // removes the file, if the path still names it
};

struct working_copy_request {
  const char* settings;      // cp's source: the settings path as the device names it
  std::string target;        // the file it names, symbolic links resolved: the size to match
  const char* path;          // cp's destination, the working copy's fixed path
  const char* copy_program;  // /bin/cp
  program_bound bound;       // cp's time bound
};

// Has request.copy_program copy request.settings to request.path, in *copy.
// False, with the reason in err, when the directory cannot be trusted, the
// path cannot be taken, cp fails, or what is at the path afterwards is not
// a copy that root made. A directory moved aside gets a warning.
bool working_copy_make(const working_copy_request& request, working_copy* copy, std::string* err,
                       warning_list& warnings);

// After the last read of copy.fd, which must have read to its end: false,
// with the reason in err, when the copy changed while it was read (the lease
// was broken, or the reads did not end at the accepted size). Closes the
// descriptor either way.
bool working_copy_finish_reading(working_copy& copy, std::string* err);

// Removes the copy now; false, with the reason in err, when that fails.
bool working_copy_remove(working_copy& copy, std::string* err);
