// Owners for the descriptors and directory streams the tool opens, so that
// every one of them is closed on every path out of the code that opened it.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <memory>
#include <string_view>
#include <utility>

// A descriptor and the path it was opened on, for the reasons of its failures.
struct named_fd {
  int fd;
  std::string_view path;
};

struct dir_closer {
  void operator()(DIR* dir) const { static_cast<void>(::closedir(dir)); }
};
using dir_stream = std::unique_ptr<DIR, dir_closer>;

struct unique_fd {
  int fd = -1;

  unique_fd() = default;
  explicit unique_fd(int descriptor) : fd(descriptor) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  unique_fd(unique_fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.fd, -1));
    }
    return *this;
  }
  ~unique_fd() { reset(); }

  explicit operator bool() const { return fd >= 0; }
  int get() const { return fd; }
  int release() { return std::exchange(fd, -1); }
  void reset(int descriptor = -1) {
    if (fd >= 0) {
      ::close(fd);
    }
    fd = descriptor;
  }
};
