#include "tool/working_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "process/run_program.h"
#include "settings/os_error.h"
#include "tool/run_limits.h"

namespace {

bool names_file(const working_copy& copy) {
  struct stat at_path {};
  return ::lstat(copy.path.c_str(), &at_path) == 0 && S_ISREG(at_path.st_mode) &&
         at_path.st_dev == copy.device && at_path.st_ino == copy.inode;
}

// Renames a directory planted at path to a new name beside it. The name is
// an empty directory made here first (mkdtemp: unique, root's, 0700), which
// the rename replaces atomically; nothing is ever removed from the tree.
bool move_directory_aside(const char* path, std::string* err, std::string* warning) {
  std::string aside = std::string(path) + ".moved-XXXXXX";
  if (::mkdtemp(aside.data()) == nullptr) {
    *err = os_error("cannot make a name to move the directory at " + std::string(path) + " to");
    return false;
  }
  if (::rename(path, aside.c_str()) != 0) {
    *err = os_error("cannot move the directory at " + std::string(path) + " aside");
    ::rmdir(aside.c_str());
    return false;
  }
  *warning = "moved a directory found at " + std::string(path) + " to " + aside;
  return true;
}

bool clear_path(const char* path, std::string* err, std::string* warning) {
  struct stat planted {};
  if (::lstat(path, &planted) != 0) {
    if (errno == ENOENT) {
      return true;
    }
    *err = os_error("cannot stat " + std::string(path));
    return false;
  }
  if (S_ISDIR(planted.st_mode)) {
    return move_directory_aside(path, err, warning);
  }
  if (::unlink(path) != 0 && errno != ENOENT) {
    *err = os_error("cannot remove " + std::string(path));
    return false;
  }
  return true;
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

std::optional<working_copy> working_copy_make(const tool_paths& paths, std::string* err,
                                              std::string* warning) {
  if (!clear_path(paths.working_copy, err, warning)) {
    return std::nullopt;
  }
  working_copy copy;
  copy.fd.reset(::open(paths.working_copy,
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
  if (!copy.fd) {
    *err = os_error("cannot create " + std::string(paths.working_copy));
    return std::nullopt;
  }
  copy.path = paths.working_copy;
  struct stat made {};
  if (::fstat(copy.fd.get(), &made) != 0) {
    *err = os_error("cannot stat " + copy.path);
    return std::nullopt;
  }
  copy.device = made.st_dev;
  copy.inode = made.st_ino;

  const std::array<const char*, 2> args{paths.settings, paths.working_copy};
  const program_run cp = run_program_bounded(paths.copy_program, args, program_run_bound);
  if (!program_succeeded(cp)) {
    *err = program_failure(paths.copy_program, cp, program_run_bound);
    return std::nullopt;
  }
  // A cp that replaced the file, or one that left it short, made no good copy.
  if (!names_file(copy)) {
    *err = paths.working_copy + std::string(" is no longer the file made for the copy");
    return std::nullopt;
  }
  struct stat filled {};
  struct stat settings {};
  if (::fstat(copy.fd.get(), &filled) != 0 || ::stat(paths.settings, &settings) != 0) {
    *err = os_error("cannot stat the copy of " + std::string(paths.settings));
    return std::nullopt;
  }
  if (filled.st_size != settings.st_size) {
    *err = copy.path + " holds " + std::to_string(filled.st_size) + " bytes, " + paths.settings +
           " " + std::to_string(settings.st_size);
    return std::nullopt;
  }
  return copy;
}

bool working_copy_remove(working_copy& copy, std::string* err) {
  if (!names_file(copy)) {
    *err = copy.path + " is no longer the file made for the copy; left as it is";
    copy.path.clear();
    return false;
  }
  const std::string path = std::exchange(copy.path, std::string());
  if (::unlink(path.c_str()) != 0) {
    *err = os_error("cannot remove " + path);
    return false;
  }
  return true;
}
