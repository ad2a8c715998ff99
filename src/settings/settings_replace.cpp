#include "settings/settings_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "settings/file_attributes.h"
#include "settings/os_error.h"
#include "settings/path_parts.h"

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

settings_replacement::settings_replacement(settings_replacement&& other) noexcept
    : target(std::move(other.target)),
      temp_path(std::exchange(other.temp_path, std::string())),
      old_file(std::move(other.old_file)),
      directory(std::move(other.directory)),
      stream(std::move(other.stream)) {}

settings_replacement::~settings_replacement() {
  stream.reset();
  if (!temp_path.empty()) {
    ::unlink(temp_path.c_str());
  }
}

std::optional<settings_replacement> settings_replace_begin(const std::string& target,
                                                           std::string* err, std::string* warning) {
  settings_replacement replacement;
  replacement.target = target;
  // O_NONBLOCK: a FIFO put there meanwhile must not hang the open; it is
  // refused below.
  replacement.old_file.reset(
      ::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!replacement.old_file) {
    *err = os_error("cannot open " + target);
    return std::nullopt;
  }
  struct stat old_file {};
  if (::fstat(replacement.old_file.get(), &old_file) != 0) {
    *err = os_error("cannot stat " + target);
    return std::nullopt;
  }
  if (!S_ISREG(old_file.st_mode)) {
    *err = target + " is not a regular file";
    return std::nullopt;
  }
  if (old_file.st_nlink > 1) {
    *warning = target + " has " + std::to_string(old_file.st_nlink) +
               " hard links; its other names keep the old content";
  }
  const std::string dir = path_dir(target);
  replacement.directory.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!replacement.directory) {
    *err = os_error("cannot open directory " + dir);
    return std::nullopt;
  }
  // mkostemp creates the file 0600: root's alone until commit.
  std::string temp = dir + (dir == "/" ? "" : "/") + temp_prefix(target) + std::string(temp_suffix);
  unique_fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) {
    *err = os_error("cannot create a new file in " + dir);
    return std::nullopt;
  }
  replacement.temp_path = std::move(temp);
  replacement.stream.reset(::fdopen(fd.get(), "w"));
  if (!replacement.stream) {
    *err = os_error("cannot open a stream on " + replacement.temp_path);
    return std::nullopt;
  }
  fd.release();
  return replacement;
}

commit_result settings_replace_commit(settings_replacement& replacement, std::string* err,
                                      std::string* warning) {
  std::FILE* stream = replacement.stream.get();
  if (stream == nullptr || std::fflush(stream) != 0 || std::ferror(stream) != 0) {
    *err = os_error("writing " + replacement.temp_path);
    return commit_result::failed;
  }
  const int fd = ::fileno(stream);
  struct stat old_file {};
  if (::fchmod(fd, 0) != 0) {
    *err = os_error("cannot take all access from " + replacement.temp_path);
    return commit_result::failed;
  }
  if (::fstat(replacement.old_file.get(), &old_file) != 0) {
    *err = os_error("cannot stat " + replacement.target);
    return commit_result::failed;
  }
  if (::fchown(fd, old_file.st_uid, old_file.st_gid) != 0) {
    *err = os_error("cannot give " + replacement.temp_path + " the owner of " + replacement.target);
    return commit_result::failed;
  }
  mode_t mode = old_file.st_mode & 07777;
  if (!file_attributes_copy(replacement.old_file.get(), fd, mode, err, warning)) {
    *err += " (new file " + replacement.temp_path + ")";
    return commit_result::failed;
  }
  if (::fchmod(fd, mode) != 0) {
    *err = os_error("cannot give " + replacement.temp_path + " the mode of " + replacement.target);
    return commit_result::failed;
  }
  if (sync_retrying(fd) != 0) {
    *err = os_error("syncing " + replacement.temp_path);
    return commit_result::failed;
  }
  if (!file_close_checked(replacement.stream)) {
    *err = os_error("closing " + replacement.temp_path);
    return commit_result::failed;
  }
  if (::rename(replacement.temp_path.c_str(), replacement.target.c_str()) != 0) {
    *err = os_error("renaming " + replacement.temp_path + " to " + replacement.target);
    return commit_result::failed;
  }
  replacement.temp_path.clear();
  if (sync_retrying(replacement.directory.get()) != 0) {
    *err = os_error("syncing directory " + path_dir(replacement.target));
    return commit_result::not_durable;
  }
  return commit_result::committed;
}

bool settings_replace_remove_leftovers(const std::string& target, std::string* err) {
  const std::string dir_path = path_dir(target);
  const dir_stream dir(::opendir(dir_path.c_str()));
  if (!dir) {
    *err = os_error("cannot read directory " + dir_path);
    return false;
  }
  const std::string prefix = temp_prefix(target);
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    if (name.size() == prefix.size() + temp_suffix.size() && name.starts_with(prefix) &&
        ::unlinkat(::dirfd(dir.get()), entry->d_name, 0) != 0 && errno != ENOENT) {
      *err = os_error("cannot remove leftover " + dir_path + "/" + std::string(name));
      return false;
    }
    errno = 0;
  }
  if (errno != 0) {
    *err = os_error("cannot read directory " + dir_path);
    return false;
  }
  return true;
}
