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
// change is kept, never overwritten:
//   - a writer already there: while another process holds the file open for
//     writing (the lease is refused with EAGAIN) or holds a lease of its own
//     (the open fails with EWOULDBLOCK), the open waits and tries again,
//     with pauses growing from 1 ms to 100 ms, for at most the writer wait
//     the caller gives (10 s); the lock stays held. Past it the store fails:
//     "<path> was held open for writing by another process for 10 s". Only a
//     process that may write the file can hold it open for writing, so no
//     other user can hold stores up this way;
//   - in place, later: the descriptor holds a read lease (F_SETLEASE F_RDLCK)
//     from the open until the commit. Any later open for writing, or
//     truncate, breaks it; the kernel sends the run SIGIO (kept blocked, so
//     that a wait can take it) and that open waits until the run lets go of
//     the descriptor, or until fs.lease-break-time (45 s) has passed, when
//     the kernel lets the writer through whatever the run does. A run that
//     sees the break lets go at once and starts over;
//   - by rename or unlink, which no lease sees: the commit checks what it
//     displaced;
//   - where no lease can be had at all (EINVAL: leases switched off, or a
//     filesystem that refuses them, as network filesystems do; EACCES: no
//     CAP_LEASE on a file not the tool's own), the store goes on with a
//     warning and a change check instead: the file's device, inode, size,
//     modification time and change time as opened must be the same right
//     before the exchange, and the displaced file's device, inode, size and
//     modification time after it (the exchange itself sets the change time
//     of both). That check cannot see a change within one tick of the
//     filesystem's clock that keeps the size, nor a write through a shared
//     mapping whose page was already dirty and is not yet written back.
// When the commit finds a change, it undoes the exchange and lets go of the
// descriptor and its lease at once, so that a waiting writer goes on, and
// reports it; the caller then starts the store over from the open.
//
//   settings_replace_open    opens the settings file at target, a path with
//                            no symbolic link left in it: only a regular
//                            file, and the very file target named (device
//                            and inode) when it was looked at; nothing else
//                            is ever opened there. Waits for a writer, takes
//                            the lease;
//   (read through .old_file, at offsets: its position is nobody's state)
//   settings_replace_begin   creates the new file beside it: root's, mode
//                            0600. Under a default ACL of the directory, a
//                            file created 0600 gets the mask ---, so no
//                            inherited entry is effective.
//   (write through .new_file)
//   settings_replace_prepare gives the new file the old one's permissions,
//                            in this order, each for a reason:
//     - (the writer has flushed: the content is complete before anyone but
//       root may open the file);
//     - mode 0: the owner set next gets nothing before the final mode;
//     - the old owner and group (chown keeps an ACL and clears set-id bits,
//       which the final mode restores);
//     - the old access ACL, or none: an inherited one is removed; removing
//       leaves the group bits at the mask, still 0; the user.* attributes
//       and security labels;
//     - the old mode with its set-id bits: from here on the file gives each
//       user exactly what the old one gave;
//     - fsync, close: the content and permissions are durable;
//   settings_replace_lease_held  between steps: false once another process
//                            has broken the lease (the caller starts over);
//   settings_replace_commit  the file at the settings path must still be the
//                            one read, unchanged, its lease unbroken; then
//                            renameat2 RENAME_EXCHANGE of the new file and
//                            the settings file: the new file is in place and
//                            the old one stands under the new file's name,
//                            where it must still be the file read (else the
//                            exchange is undone, and the other writer's file,
//                            or its change, stays); then the descriptor is
//                            closed and the displaced old file removed;
//   settings_replace_sync_directory  fsync of the directory: the exchange
//                            and the removal are durable.
//
// What a writer that takes no lock may still meet: one that opened the old
// file before the exchange and writes after the commit closes it writes into
// a file that no longer has the name. That window is the few instructions
// between the lease check after the exchange and the close. Where the
// filesystem has no exchange (EINVAL: JFFS2, FUSE), the checks made right
// before it are followed by a plain rename; a rename over the path between
// the two is then lost (the window is those two calls).
//
// Any failure before the commit leaves the settings file as it was; the
// holder's destructor lets go of the lease and removes the new file, so a
// failed run, or an attempt given up for the next one, needs no cleanup
// call. After a power cut at any point the settings path holds the old or
// the new file, whole; the other may stand under the new file's name, where
// the next run's settings_replace_remove_leftovers removes it with every
// other file a killed run left (.settings.tal-setconf-XXXXXX). Once commit
// has returned committed the new content is in place; a failed directory
// sync after it means only that the exchange may not yet be durable.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <string>

#include "sys/failure.h"
#include "sys/file_handle.h"

struct settings_replacement {
  std::string target;     // the settings file itself, symbolic links resolved
  std::string temp_path;  // the new file; empty once renamed into place or removed
  unique_fd old_file;     // the settings file, read-only, leased when it could be
  struct stat opened {};  // of the settings file once opened (and leased): what is read
  bool leased = false;
  unique_fd directory;  // the target's directory, synced after the rename
  unique_fd new_file;   // the new file, opened for writing

  settings_replacement() = default;
  settings_replacement(const settings_replacement&) = delete;
  settings_replacement& operator=(const settings_replacement&) = delete;
  settings_replacement(settings_replacement&&) = delete;
  settings_replacement& operator=(settings_replacement&&) = delete;
  ~settings_replacement();  // lets the settings go, removes a new file that was not committed
};

// Opens the settings file at target in *made, and leases it, waiting at
// most writer_wait for a process that holds it open for writing. False, with
// the reason in err, when target is missing, not a regular file, not the
// file it named a moment before, or held open for writing past the wait. A
// settings file with other hard links gets a warning (only this name gets
// the new content), as does one that could not be leased.
bool settings_replace_open(const std::string& target, std::chrono::milliseconds writer_wait,
                           settings_replacement* made, std::string* err, warning_list& warnings);

// Creates the new file beside the opened settings file. False, with the
// reason in err, when it cannot be made.
bool settings_replace_begin(settings_replacement& replacement, std::string* err);

// The new file's permissions, then fsync and close. An attribute that had
// to be dropped (the filesystem cannot hold it) gets a warning.
bool settings_replace_prepare(settings_replacement& replacement, std::string* err,
                              warning_list& warnings);

// False once the lease taken at the open has been broken, or cannot be asked
// for; true while it holds, and where none could be taken.
bool settings_replace_lease_held(const settings_replacement& replacement);

enum class settings_commit {
  committed,  // the new content is in place
  changed,    // another process changed the settings: they are as it left them
  failed,     // could not be put in place; the reason in err
};

// The commit. changed and failed come with the reason in err; after changed
// the settings descriptor is already let go. An old file that could not be
// removed gets a warning.
settings_commit settings_replace_commit(settings_replacement& replacement, std::string* err,
                                        warning_list& warnings);

// After a commit: the directory synced.
bool settings_replace_sync_directory(settings_replacement& replacement, std::string* err);

// Removes the new files that runs killed half-way left beside the settings
// file at target. Call only while holding the lock that keeps other runs out.
bool settings_replace_remove_leftovers(const std::string& target, std::string* err);
