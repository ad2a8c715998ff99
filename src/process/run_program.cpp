#include "process/run_program.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace {

using clock_type = std::chrono::steady_clock;

// Closes every descriptor from 3 up but the two kept (3 or more; -1: none,
// and first below second when both are given). close_range() does it in
// three calls; older kernels lack it, and there the table is walked, which
// costs one call per possible descriptor.
void close_from_3_but(int first, int second) {
  if (first < 0 || (second >= 0 && second < first)) {
    std::swap(first, second);
  }
#ifdef SYS_close_range
  unsigned from = 3;
  bool closed = true;
  for (const int keep : {first, second}) {
    if (keep < 0) {
      continue;
    }
    const auto kept = static_cast<unsigned>(keep);
    closed = closed && (kept == from || ::syscall(SYS_close_range, from, kept - 1, 0U) == 0);
    from = kept + 1;
  }
  if (closed && ::syscall(SYS_close_range, from, ~0U, 0U) == 0) {
    return;
  }
#endif
  for (int fd = ::getdtablesize() - 1; fd >= 3; --fd) {
    if (fd != first && fd != second) {
      ::close(fd);
    }
  }
}

// What the child tells the parent through the report pipe before it exits
// without running the program: the step that failed and its errno.
struct child_report {
  int step = 0;  // a child_step
  int error = 0;
};
enum child_step : int { step_exec = 1, step_unshare, step_private, step_bind, step_check };

[[noreturn]] void report_and_exit(int report, int step) {
  const child_report told{step, errno};
  // Nothing more can be done if the parent does not hear it: it sees status 1.
  if (::write(report, &told, sizeof told) < 0) {
    ::_exit(1);
  }
  ::_exit(1);
}

// Binds the directory open at dir over mount_point in a mount namespace of
// the child's own, every mount in it made private first, so that nothing
// done there reaches the caller's namespace or the host's. The directory
// bound is the one the descriptor names, whatever holds its name now: it is
// made the working directory before unshare, which moves the working
// directory into the new namespace with it (a descriptor keeps naming the
// old one's mount, which cannot be bound), and "." is bound. The mount point
// must then be that very directory. The program gets the caller's working
// directory back, as it would have without any of this. 0, or the step that
// failed with errno set.
int enter_private_mount(int dir, const char* mount_point) {
  struct stat bound {};
  const int caller_cwd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (caller_cwd < 0 || ::fstat(dir, &bound) != 0 || ::fchdir(dir) != 0) {
    return step_bind;
  }
  if (::unshare(CLONE_NEWNS) != 0) {
    return step_unshare;
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return step_private;
  }
  if (::mount(".", mount_point, nullptr, MS_BIND, nullptr) != 0) {
    return step_bind;
  }
  struct stat seen {};
  if (::stat(mount_point, &seen) != 0) {
    return step_check;
  }
  if (seen.st_dev != bound.st_dev || seen.st_ino != bound.st_ino) {
    errno = ESTALE;
    return step_check;
  }
  if (::fchdir(caller_cwd) != 0) {
    return step_bind;
  }
  ::close(caller_cwd);
  return 0;
}

// Runs in the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(const char* path, char* const* argv, int report,
                             const program_options& options, pid_t parent) {
  // Dies with the caller: a cp left running after its run was killed would
  // write into the next run's working copy. The caller may have died before
  // the setting took; its pid, not 1, tells, since a subreaper may adopt us.
  if (options.lifetime == program_lifetime::ends_with_run &&
      (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)) {
    ::_exit(1);
  }
  // A caller started with standard descriptors closed may have got the
  // pipe there: move it out of the way of /dev/null first.
  if (report < 3) {
    report = ::fcntl(report, F_DUPFD_CLOEXEC, 3);
  }
  int private_dir = options.private_dir;
  if (private_dir >= 0 && private_dir < 3) {
    private_dir = ::fcntl(private_dir, F_DUPFD_CLOEXEC, 3);
  }
  // Every inherited descriptor goes before anything that can block (opening
  // /dev/null on a hung filesystem, a stop signal): a child stuck here, or
  // abandoned by the parent, must not keep the lock file or the new settings
  // file open.
  close_from_3_but(report, private_dir);
  // A group of its own, so that a bound stops whatever the program starts too.
  ::setpgid(0, 0);
  // exec keeps ignored signals ignored and the mask as it is: a program
  // that inherited the tool's ignored SIGXFSZ would write on past a size
  // limit, and one with SIGTERM blocked could not be stopped politely.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    ::sigaction(sig, &default_action, nullptr);  // fails for SIGKILL, SIGSTOP: nothing to reset
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  if (options.umask >= 0) {
    ::umask(static_cast<mode_t>(options.umask));
  }
  if (options.private_dir >= 0) {
    if (const int failed = enter_private_mount(private_dir, options.private_mount)) {
      report_and_exit(report, failed);
    }
  }

  const int devnull = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) {
    if (devnull < 0) {
      ::close(fd);
    } else if (devnull != fd) {
      ::dup2(devnull, fd);
    }
  }
  if (devnull > 2) {
    ::close(devnull);
  }
  ::execvp(path, argv);
  report_and_exit(report, step_exec);
}

// What the child reported before exiting, into run: exec's errno, or the
// step of the private mount that failed with its errno; nothing when it
// wrote nothing: it exec'd. Read only once the child is gone or given up
// on, from a non-blocking pipe, so that it can never wait: the parent's own
// write end may still be open (a close that failed), and then no end of
// file comes.
void read_child_report(int report, program_run* run) {
  child_report told{};
  ssize_t got = 0;
  do {
    got = ::read(report, &told, sizeof told);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof told)) {
    return;
  }
  if (told.step == step_exec) {
    run->exec_error = told.error;
    return;
  }
  run->setup_error = told.error;
  run->setup_step = told.step == step_unshare   ? "cannot unshare its mount namespace"
                    : told.step == step_private ? "cannot make its mounts private"
                    : told.step == step_bind    ? "cannot bind its own directory there"
                                                : "the directory bound is not the run's";
  run->setup_refused = told.step != step_check;
}

// How waiting for a child ended.
enum class wait_end { ended, deadline_passed, woken, cannot_ask };

// Waits until the child has ended or the deadline has passed, without
// reaping it: the caller kills what is left of its group first. With wake (not 0), a pending wake
// signal ends the wait too. cannot_ask comes with the OS error in *error. SIGCHLD and wake are
// blocked, so they stay pending until sigtimedwait takes them: no handler
// and no polling interval.
wait_end ended_by(pid_t child, clock_type::time_point deadline, int wake, int* error) {
  sigset_t awaited;
  ::sigemptyset(&awaited);
  ::sigaddset(&awaited, SIGCHLD);
  if (wake != 0) {
    ::sigaddset(&awaited, wake);
  }
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
      if (info.si_pid == child) {
        return wait_end::ended;
      }
    } else if (errno != EINTR) {
      *error = errno;
      return wait_end::cannot_ask;
    }
    const auto left = deadline - clock_type::now();
    if (left <= clock_type::duration::zero()) {
      return wait_end::deadline_passed;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec wait{.tv_sec = static_cast<time_t>(ns / 1000000000),
                        .tv_nsec = static_cast<long>(ns % 1000000000)};
    const int taken = ::sigtimedwait(&awaited, nullptr, &wait);  // a timeout or EINTR: look again
    if (wake != 0 && taken == wake) {
      return wait_end::woken;
    }
  }
}

// Within the grace, whatever else is pending: the child is being stopped.
bool ended_within(pid_t child, clock_type::duration grace, int* error) {
  return ended_by(child, clock_type::now() + grace, 0, error) == wait_end::ended;
}

void signal_group_and_child(pid_t child, int sig) {
  ::kill(-child, sig);  // ESRCH when the group is gone: nothing left to stop
  ::kill(child, sig);
}

// Bounded: the program's whole life, from fork on, counts against the limit;
// after SIGTERM it gets the grace, after SIGKILL the grace again. A child
// that has not gone even then (uninterruptible sleep) is left to init: the
// tool must not hold the lock for ever behind it. False, with the child
// untouched, when wake came first.
bool wait_for(pid_t child, clock_type::time_point started, const program_options& options, int wake,
              program_run* outcome) {
  program_run& run = *outcome;
  const program_bound& bound = options.bound;
  const wait_end first = ended_by(child, started + bound.limit, wake, &run.system_error);
  if (first == wait_end::woken) {
    return false;
  }
  bool ended = first == wait_end::ended;
  if (first == wait_end::deadline_passed) {
    run.stopped = true;
    signal_group_and_child(child, SIGTERM);
    ended = ended_within(child, bound.grace, &run.system_error);
    if (!ended && run.system_error == 0) {
      signal_group_and_child(child, SIGKILL);
      ended = ended_within(child, bound.grace, &run.system_error);
      run.abandoned = !ended && run.system_error == 0;
    }
  }
  if (!ended) {
    run.status = -1;
    return true;
  }
  // The leader is a zombie, so its group's number is still its own: what it
  // started and left in the group cannot outlive it.
  if (run.stopped || options.lifetime == program_lifetime::ends_with_run) {
    ::kill(-child, SIGKILL);  // ESRCH when nothing is left: the usual case
  }
  pid_t waited = 0;
  do {
    waited = ::waitpid(child, &run.status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != child) {
    run.system_error = errno;
    run.status = -1;
  }
  return true;
}

// True when the program started and exited with status 0.
bool program_succeeded(const program_run& run) {
  return run.status == 0 && run.exec_error == 0 && run.setup_error == 0 && !run.stopped;
}

std::string limit_text(std::chrono::milliseconds limit) {
  return limit.count() % 1000 == 0 ? std::to_string(limit.count() / 1000) + " s"
                                   : std::to_string(limit.count()) + " ms";
}

// What happened to a run that did not succeed.
std::string program_failure(const char* path, const program_run& run,
                            const program_options& options) {
  const program_bound bound = options.bound;
  const std::string program(path);
  if (run.exec_error != 0) {
    return "cannot run " + program + ": " + std::strerror(run.exec_error);
  }
  if (run.setup_error != 0) {
    return "cannot give " + program + " a private " + options.private_mount + ": " +
           run.setup_step + ": " + std::strerror(run.setup_error);
  }
  if (run.abandoned) {
    return program + " did not finish within " + limit_text(bound.limit) +
           ", and was still there after SIGKILL: left behind";
  }
  if (run.stopped) {
    return program + " did not finish within " + limit_text(bound.limit) + " and was stopped";
  }
  if (run.status < 0) {
    return "cannot run " + program + ": " + std::strerror(run.system_error);
  }
  if (WIFSIGNALED(run.status)) {
    return program + " was killed by signal " + std::to_string(WTERMSIG(run.status)) + " (" +
           ::strsignal(WTERMSIG(run.status)) + ")";
  }
  return program + " exited with status " + std::to_string(WEXITSTATUS(run.status));
}

// Stops a program that is not to be waited for: SIGKILL to its group and to
// itself, the grace for the kernel to end it, and whatever is left of its
// group killed once it has ended.
void stop_now(running_program& running) {
  signal_group_and_child(running.pid, SIGKILL);
  int error = 0;
  if (ended_within(running.pid, running.options.bound.grace, &error)) {
    ::kill(-running.pid, SIGKILL);  // ESRCH when nothing is left
    int status = 0;
    while (::waitpid(running.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void restore_mask(running_program& running) {
  if (running.mask_saved) {
    ::sigprocmask(SIG_SETMASK, &running.saved_mask, nullptr);
    running.mask_saved = false;
  }
}

}  // namespace

running_program::~running_program() {
  program_stop(*this);
}

void program_stop(running_program& running) {
  if (running.pid > 0) {
    stop_now(running);
    running.pid = -1;
  }
  restore_mask(running);
}

bool program_start(const char* path, std::span<const char* const> args,
                   const program_options& options, running_program* running, std::string* err) {
  running_program& program = *running;
  program.path = path;
  program.options = options;
  program.outcome = {};  // a holder may start a program again once the last one is reaped
  // The argument vector is built before fork, so the child allocates nothing.
  std::string path_copy(path);
  std::array<char*, run_program_max_args + 2> argv{};
  argv[0] = path_copy.data();
  std::size_t count = 0;
  for (; count < args.size() && count < run_program_max_args && args[count] != nullptr; ++count) {
    argv[count + 1] = const_cast<char*>(args[count]);
  }
  argv[count + 1] = nullptr;

  program.started = clock_type::now();
  std::array<int, 2> report{-1, -1};
  program_run& failed = program.outcome;
  if (::pipe2(report.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    failed.system_error = errno;
    *err = program_failure(path, failed, options);
    return false;
  }
  program.report.reset(report[0]);
  // SIGCHLD stays blocked until the program is reaped, so that the wait can
  // take it with sigtimedwait: no handler and no polling interval.
  sigset_t chld;
  ::sigemptyset(&chld);
  ::sigaddset(&chld, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &chld, &program.saved_mask);
  program.mask_saved = true;
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    failed.system_error = errno;
    ::close(report[1]);
    restore_mask(program);
    *err = program_failure(path, failed, options);
    return false;
  }
  if (child == 0) {
    exec_child(path_copy.c_str(), argv.data(), report[1], options, parent);
  }
  program.pid = child;
  // Never retried: Linux frees the descriptor even when close reports an
  // error, and a retry could close a descriptor opened meanwhile.
  ::close(report[1]);
  // Also from this side, so that the group exists before it may be signalled;
  // EACCES once the child has exec'd means it is already set.
  ::setpgid(child, child);
  return true;
}

program_wait_end program_wait_or_wake(running_program& running, int wake, std::string* err) {
  program_run& outcome = running.outcome;
  if (!wait_for(running.pid, running.started, running.options, wake, &outcome)) {
    return program_wait_end::woken;
  }
  running.pid = -1;  // reaped, or given up on: nothing more to stop
  restore_mask(running);
  read_child_report(running.report.get(), &outcome);
  running.report.reset();
  if (!program_succeeded(outcome)) {
    *err = program_failure(running.path.c_str(), outcome, running.options);
    return program_wait_end::failed;
  }
  return program_wait_end::succeeded;
}

bool program_wait(running_program& running, std::string* err) {
  return program_wait_or_wake(running, 0, err) == program_wait_end::succeeded;
}

bool run_program(const char* path, std::span<const char* const> args,
                 const program_options& options, std::string* err) {
  running_program running;
  return program_start(path, args, options, &running, err) && program_wait(running, err);
}
