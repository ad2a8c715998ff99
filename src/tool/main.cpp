// tal-setconf-<section> FILE: stores FILE's text as the configuration of one
// section of the module's settings file. Prints nothing; the exit status
// tells what happened, and one line in the system log says why.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <new>
#include <string>

#include "sys/system_log.h"
#include "tool/program_name.h"
#include "tool/run_report.h"
#include "tool/section_store.h"
#include "tool/tool_limits.h"
#include "tool/tool_paths.h"

namespace {

// The tool inherits its process state from whoever starts it. Three
// inherited states would break it: SIGCHLD ignored (children are then reaped
// by the kernel, and cp's status could never be read), SIGXFSZ at its default
// (a file size limit would kill the tool mid-write, leaving its files behind,
// where an ignored one makes the write fail with EFBIG and the run clean up),
// and descriptors 0 to 2 closed (the files the tool opens would take their
// numbers, and anything written to standard error would land in them).
// SIGIO is how the kernel tells that the read lease on the settings file is
// being broken: at its default it would end the run half-way, and ignored it
// would be lost. It is blocked, so that it stays pending until the wait for
// cp takes it, which lets the writer through at once (section_store).
//
// A closed standard descriptor gets an empty memfd, not /dev/null: FILE
// /dev/stdin must not read as an empty text, and only a file of the tool's
// own can be told apart from an explicit /dev/null (a pipe could not: its
// reopen blocks).
closed_stdio process_setup() {
  static_cast<void>(std::signal(SIGCHLD, SIG_DFL));
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  static_cast<void>(std::signal(SIGIO, SIG_DFL));
  sigset_t lease_break;
  ::sigemptyset(&lease_break);
  ::sigaddset(&lease_break, SIGIO);
  static_cast<void>(::sigprocmask(SIG_BLOCK, &lease_break, nullptr));
  closed_stdio closed;
  int placeholder = -1;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
      continue;
    }
    const int filled =
        placeholder < 0 ? ::memfd_create("tal-setconf-closed", 0) : ::dup(placeholder);
    if (filled != fd) {
      ::_exit(exit_not_updated);
    }
    placeholder = filled;
  }
  struct stat status {};
  if (placeholder >= 0) {
    if (::fstat(placeholder, &status) != 0) {
      ::_exit(exit_not_updated);
    }
    closed = {true, status.st_dev, status.st_ino};
  }
  return closed;
}

}  // namespace

int main(int argc, char** argv) {
  const closed_stdio closed = process_setup();
  run_report report;
  try {
    report = section_store(argc, argv, device_paths, closed);
  } catch (const std::bad_alloc&) {
    // Thrown by the standard library, never by the tool's code. Unwinding has
    // removed the new file and the working copy and released the lock.
    std::string refused;
    section_name name;
    const bool named = argc > 0 && section_name_from_program(argv[0], &name, &refused);
    report = {exit_not_updated, LOG_ERR,
              std::string(named ? program_base_name(argv[0]) : refused_program_ident),
              "settings not updated: out of memory"};
  } catch (const std::exception& error) {
    // Nothing else is expected from the library; if it comes, the run still
    // ends cleanly, silent, with its files removed, and says what it was.
    report = {exit_not_updated, LOG_ERR, std::string(refused_program_ident),
              std::string("settings not updated: internal error: ") + error.what()};
  }
  system_log_send(device_paths.log_socket, report.ident, report.level, report.message,
                  log_body_max);
  return report.status;
}
