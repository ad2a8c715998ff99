#include "tool/section_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <thread>

unique_fd section_lock(const char* directory, std::chrono::milliseconds wait) {
  unique_fd dir(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    return {};
  }
  // Polled rather than blocking, so that giving up needs no signal or timer.
  const auto give_up = std::chrono::steady_clock::now() + wait;
  auto pause = std::chrono::milliseconds(1);
  while (::flock(dir.get(), LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= give_up) {
      return {};
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  return dir;
}
