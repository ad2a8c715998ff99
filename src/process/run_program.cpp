#include "process/run_program.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>

namespace {

// Closes every descriptor from 3 up. close_range() does it in one call; older
// kernels lack it, and there the table is walked, which costs one call per
// possible descriptor.
void close_from_3() {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 3U, ~0U, 0U) == 0) {
    return;
  }
#endif
  for (int fd = ::getdtablesize() - 1; fd >= 3; --fd) {
    ::close(fd);
  }
}

// Runs in the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(const char* path, char* const* argv) {
  const int devnull = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) {
    if (devnull < 0) {
      ::close(fd);
    } else if (devnull != fd) {
      ::dup2(devnull, fd);
    }
  }
  close_from_3();
  ::execvp(path, argv);
  ::_exit(1);
}

}  // namespace

int run_program(const char* path, std::span<const char* const> args) {
  // The argument vector is built before fork, so the child allocates nothing.
  std::string path_copy(path);
  std::array<char*, run_program_max_args + 2> argv{};
  argv[0] = path_copy.data();
  std::size_t count = 0;
  for (; count < args.size() && count < run_program_max_args && args[count] != nullptr; ++count) {
    argv[count + 1] = const_cast<char*>(args[count]);
  }
  argv[count + 1] = nullptr;

  const pid_t child = ::fork();
  if (child < 0) {
    return -1;
  }
  if (child == 0) {
    exec_child(path, argv.data());
  }
  int status = 0;
  pid_t waited = 0;
  do {
    waited = ::waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return waited == child ? status : -1;
}

int run_program(const char* path, std::initializer_list<const char*> args) {
  return run_program(path, std::span<const char* const>(args.begin(), args.size()));
}
