// Runs an external program in a child process with a clean set of
// descriptors (standard streams on /dev/null, nothing else open) and waits
// for it: at once (run_program), or after the caller has done other work
// (program_start, then program_wait). A program started and not waited for,
// because the caller's work failed, is stopped and reaped with its group
// when its holder goes, so nothing of it outlives the caller's step.
//
// The child is the leader of a process group of its own, with every signal
// disposition at its default and no signal blocked, whatever the tool itself
// ignores or blocks. When the program cannot be executed, the child sends
// exec's errno to the parent through a close-on-exec pipe before it exits
// with status 1, so that "cannot run" and "ran and failed" can be told
// apart. Given a time bound, it covers the child's whole life, from fork to
// reap: the parent stops a program that outlives it with SIGTERM to its
// group and to itself, then SIGKILL after a grace period, waits the grace
// once more, and gives up on a child that still has not gone. The child
// closes every inherited descriptor before anything that can block, so that
// a stuck child holds none of the caller's files.
//
// What a program leaves behind depends on its lifetime:
//   ends_with_run    the kernel kills the child with SIGKILL when the caller
//                    dies first (PR_SET_PDEATHSIG, set before exec and checked
//                    against the caller's pid recorded before fork, since a
//                    subreaper may adopt the child before the setting takes),
//                    and whatever is left of its process group is killed when
//                    the leader ends, normally or at the bound. For a program
//                    whose late writes would land in a later run's files (cp).
//   may_outlive_run  no death signal: a program that works on a result that is
//                    already committed (the hash tool) is let finish when the
//                    caller is killed. Its group is killed only at the bound,
//                    leader alive or not.
// The leader is waited for without being reaped (waitid WNOWAIT), its group
// killed, and only then reaped: until then its pid, and with it the number of
// its group, cannot be given to an unrelated process. A process that left the
// group (setsid) is out of reach of all this.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <span>
#include <string>

#include "sys/file_handle.h"

// Largest number of arguments passed on after the program path; further ones
// are dropped.
inline constexpr int run_program_max_args = 62;

struct program_run {
  int status = -1;       // raw wait status; -1 when no child was made or it could not be reaped
  int system_error = 0;  // errno when no child could be made (pipe, fork), waited for or reaped
  int exec_error = 0;    // exec's errno in the child; 0 when the program started
  // The private mount (program_options::private_dir) could not be set up in
  // the child, which then exited without running the program: its errno,
  // the step that failed, and whether the system refused it (no mount
  // namespaces, no CAP_SYS_ADMIN) rather than found the wrong directory.
  int setup_error = 0;
  const char* setup_step = "";
  bool setup_refused = false;
  bool stopped = false;    // outlived its time bound and was stopped by signals
  bool abandoned = false;  // still there after SIGKILL and its grace: not reaped
};

struct program_bound {
  std::chrono::milliseconds limit{0};  // from the fork; the program is then stopped
  std::chrono::milliseconds grace{0};  // between SIGTERM and SIGKILL, and after SIGKILL
};

enum class program_lifetime { may_outlive_run, ends_with_run };

struct program_options {
  program_bound bound{};
  program_lifetime lifetime = program_lifetime::may_outlive_run;
  int umask = -1;  // the child's file creation mask; -1 keeps the caller's
  // Not -1: the child gets a mount namespace of its own in which the
  // directory open at private_dir is bound over private_mount, before exec.
  // What the program does under private_mount then happens in that
  // directory, out of every other process's reach.
  int private_dir = -1;
  const char* private_mount = nullptr;
};

// A program started and not yet waited for. SIGCHLD is blocked from its
// start until it is reaped.
struct running_program {
  std::string path;
  program_options options;
  pid_t pid = -1;    // -1 once reaped or given up on
  unique_fd report;  // exec's errno, from the child
  std::chrono::steady_clock::time_point started;
  sigset_t saved_mask{};
  bool mask_saved = false;
  program_run outcome;  // once waited for: what became of it, raw

  running_program() = default;
  running_program(const running_program&) = delete;
  running_program& operator=(const running_program&) = delete;
  running_program(running_program&&) = delete;
  running_program& operator=(running_program&&) = delete;
  // A program not waited for gets SIGKILL, with its group, and is reaped
  // within its grace.
  ~running_program();
};

// Starts the program at path with args in *running. False, with the reason
// in err, when no child could be made.
bool program_start(const char* path, std::span<const char* const> args,
                   const program_options& options, running_program* running, std::string* err);

// Waits for a started program within its bound, as run_program does; what
// became of it stays in running.outcome.
bool program_wait(running_program& running, std::string* err);

// How a wait that a signal may end early ended.
enum class program_wait_end { succeeded, failed, woken };

// Waits as program_wait does, unless wake (a signal the caller keeps
// blocked; 0: none) is pending or comes first: then it returns woken at once,
// with the signal taken and the program left running, its bound still
// counting from its start. The caller may wait again, or stop it.
program_wait_end program_wait_or_wake(running_program& running, int wake, std::string* err);

// Stops a started program now, as its holder's destructor would; nothing
// for one already waited for.
void program_stop(running_program& running);

// Runs the program at path with args (a path without a slash is looked up in
// PATH) and waits for it. True when it started and exited with status 0;
// otherwise false, with what happened in err: "cannot run /bin/cp: No such
// file or directory", "/bin/cp exited with status 1", "/sbin/hash_generate
// did not finish within 30 s and was stopped", ...
bool run_program(const char* path, std::span<const char* const> args,
                 const program_options& options, std::string* err);
