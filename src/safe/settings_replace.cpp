#include "safe/settings_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "safe/file_attributes.h"
#include "safe/leftovers.h"
#include "sys/failure.h"
#include "sys/path_parts.h"

namespace {

constexpr std::string_view temp_tag = ".tal-setconf-";
constexpr std::string_view temp_suffix = "XXXXXX";

// ".settings.tal-setconf-": what the new files of the target start with.
std::string temp_prefix(const std::string& target) {
  std::string prefix(".");
  prefix.append(path_base(target)).append(temp_tag);
  return prefix;
}

int sync_retrying(int fd) {
  int result = 0;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

settings_replacement::~settings_replacement() {
  fd.reset();
  if (!temp_path.empty()) {
    ::unlink(temp_path.c_str());
  }
}

bool settings_replace_open(const std::string& target, settings_replacement* made, std::string* err,
                           warning_list& warnings) {
  settings_replacement& replacement = *made;
  replacement.target = target;
  // Only a regular file is settings: cp and every open block for ever on a
  // FIFO, and opening a device can act on it. So nothing else is opened.
  struct stat named {};
  if (::lstat(target.c_str(), &named) != 0) {
    *err = os_error("no settings file " + target);
    return false;
  }
  if (!S_ISREG(named.st_mode)) {
    *err = target + " is not a regular file";
    return false;
  }
  // O_NONBLOCK: a FIFO put there meanwhile must not hang the open; it is
  // refused below.
  replacement.settings.reset(
      ::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!replacement.settings) {
    *err = os_error("cannot open " + target);
    return false;
  }
  struct stat opened {};
  if (::fstat(replacement.settings.get(), &opened) != 0) {
    *err = os_error("cannot stat " + target);
    return false;
  }
  if (!S_ISREG(opened.st_mode) || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
    *err = target + " was replaced while it was opened";
    return false;
  }
  if (opened.st_nlink > 1) {
    warnings.push_back(target + " has " + std::to_string(opened.st_nlink) +
                       " hard links; its other names keep the old content");
  }
  const std::string dir = path_dir(target);
  replacement.directory.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!replacement.directory) {
    *err = os_error("cannot open directory " + dir);
    return false;
  }
  return true;
}

bool settings_replace_begin(settings_replacement& replacement, std::string* err) {
  // mkostemp creates the file 0600: root's alone until commit.
  const std::string dir = path_dir(replacement.target);
  std::string temp =
      dir + (dir == "/" ? "" : "/") + temp_prefix(replacement.target) + std::string(temp_suffix);
  unique_fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) {
    *err = os_error("cannot create a new file in " + dir);
    return false;
  }
  replacement.temp_path = std::move(temp);
  replacement.fd = std::move(fd);
  return true;
}

bool settings_replace_commit(settings_replacement& replacement, std::string* err,
                             warning_list& warnings) {
  const int fd = replacement.fd.get();
  struct stat old_file {};
  if (::fchmod(fd, 0) != 0) {
    *err = os_error("cannot take all access from " + replacement.temp_path);
    return false;
  }
  if (::fstat(replacement.settings.get(), &old_file) != 0) {
    *err = os_error("cannot stat " + replacement.target);
    return false;
  }
  if (::fchown(fd, old_file.st_uid, old_file.st_gid) != 0) {
    *err = os_error("cannot give " + replacement.temp_path + " the owner of " + replacement.target);
    return false;
  }
  mode_t mode = old_file.st_mode & 07777;
  if (!file_attributes_copy(replacement.settings.get(), fd, mode, err, warnings)) {
    *err += " (new file " + replacement.temp_path + ")";
    return false;
  }
  if (::fchmod(fd, mode) != 0) {
    *err = os_error("cannot give " + replacement.temp_path + " the mode of " + replacement.target);
    return false;
  }
  // Read and its attributes taken. Held open past the rename, the old file
  // would be freed (and its blocks discarded, on a disk mounted with discard)
  // only after the hash tool, while the caller waits for the run to end;
  // freed by the rename, it costs less (see doc/benchmark.md).
  replacement.settings.reset();
  if (sync_retrying(fd) != 0) {
    *err = os_error("syncing " + replacement.temp_path);
    return false;
  }
  // Never retried: Linux frees the descriptor even when close fails.
  if (::close(replacement.fd.release()) != 0) {
    *err = os_error("closing " + replacement.temp_path);
    return false;
  }
  if (::rename(replacement.temp_path.c_str(), replacement.target.c_str()) != 0) {
    *err = os_error("renaming " + replacement.temp_path + " to " + replacement.target);
    return false;
  }
  replacement.temp_path.clear();
  return true;
}

bool settings_replace_sync_directory(settings_replacement& replacement, std::string* err) {
  if (sync_retrying(replacement.directory.get()) != 0) {
    *err = os_error("syncing directory " + path_dir(replacement.target));
    return false;
  }
  return true;
}

bool settings_replace_remove_leftovers(const std::string& target, std::string* err) {
  return leftovers_remove(path_dir(target), temp_prefix(target), err);
}
