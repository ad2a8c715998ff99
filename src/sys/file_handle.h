// Owners for the descriptors and streams the tool opens, so that every one of
// them is closed on every path out of the code that opened it.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "sys/failure.h"

// A stream whose writes matter is closed with file_close_checked; this one
// closes read streams and streams given up on a failure path.
struct file_closer {
  void operator()(std::FILE* file) const { static_cast<void>(std::fclose(file)); }
};
using file_stream = std::unique_ptr<std::FILE, file_closer>;

// A stream and the path it was opened on, for the reasons of its failures.
struct named_stream {
  std::FILE* file;
  std::string_view path;
};

// Closes the stream and tells whether everything buffered reached the file:
// a write error often shows only here.
inline bool file_close_checked(file_stream& file, std::string_view path, std::string* err) {
  if (!file) {
    return true;
  }
  const bool had_error = std::ferror(file.get()) != 0;
  errno = 0;
  if (std::fclose(file.release()) != 0 || had_error) {
    *err = os_error("closing " + std::string(path), errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

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
