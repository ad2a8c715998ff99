#include "tool/section_lock.h"
#include "settings/os_error.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <thread>

unique_fd section_lock(const char* lock_path, std::chrono::milliseconds wait, std::string* err) {
  // O_NONBLOCK: opening a FIFO planted there must not hang; it is refused below.
  unique_fd lock(
      ::open(lock_path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600));
  if (!lock) {
    *err = os_error("cannot open lock file " + std::string(lock_path));
    return {};
  }
  struct stat held {};
  if (::fstat(lock.get(), &held) != 0) {
    *err = os_error("cannot stat lock file " + std::string(lock_path));
    return {};
  }
  if (!S_ISREG(held.st_mode) || held.st_uid != 0 || (held.st_mode & 077) != 0) {
    *err = "lock file " + std::string(lock_path) +
           " is not a regular file of root's with no group or other permission";
    return {};
  }
  // Polled rather than blocking, so that giving up needs no signal or timer.
  const auto give_up = std::chrono::steady_clock::now() + wait;
  auto pause = std::chrono::milliseconds(1);
  while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *err = os_error("cannot lock " + std::string(lock_path));
      return {};
    }
    if (std::chrono::steady_clock::now() >= give_up) {
      *err = "lock on " + std::string(lock_path) + " not obtained within " +
             std::to_string(wait.count() / 1000) + " s";
      return {};
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  return lock;
}
