#include "tool/working_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "process/run_program.h"

namespace {

bool names_file(const working_copy& copy) {
  struct stat at_path {};
  return ::lstat(copy.path.c_str(), &at_path) == 0 && S_ISREG(at_path.st_mode) &&
         at_path.st_dev == copy.device && at_path.st_ino == copy.inode;
}

// Clears the path of anything but a directory; a tree in /tmp is not ours to
// remove.
bool clear_path(const char* path) {
  struct stat planted {};
  if (::lstat(path, &planted) != 0) {
    return errno == ENOENT;
  }
  if (S_ISDIR(planted.st_mode)) {
    return false;
  }
  return ::unlink(path) == 0 || errno == ENOENT;
}

}  // namespace

working_copy::working_copy(working_copy&& other) noexcept
    : path(std::exchange(other.path, std::string())),
      fd(std::move(other.fd)),
      device(other.device),
      inode(other.inode) {}

working_copy::~working_copy() {
  if (!path.empty() && names_file(*this)) {
    ::unlink(path.c_str());
  }
}

std::optional<working_copy> working_copy_make(const tool_paths& paths) {
  if (!clear_path(paths.working_copy)) {
    return std::nullopt;
  }
  working_copy copy;
  copy.fd.reset(::open(paths.working_copy,
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
  if (!copy.fd) {
    return std::nullopt;
  }
  copy.path = paths.working_copy;
  struct stat made {};
  if (::fstat(copy.fd.get(), &made) != 0) {
    return std::nullopt;
  }
  copy.device = made.st_dev;
  copy.inode = made.st_ino;

  if (run_program(paths.copy_program, {paths.settings, paths.working_copy}) != 0) {
    return std::nullopt;
  }
  // A cp that replaced the file, or one that left it short, made no good copy.
  struct stat filled {};
  struct stat settings {};
  if (!names_file(copy) || ::fstat(copy.fd.get(), &filled) != 0 ||
      ::stat(paths.settings, &settings) != 0 || filled.st_size != settings.st_size ||
      ::lseek(copy.fd.get(), 0, SEEK_SET) != 0) {
    return std::nullopt;
  }
  return copy;
}
