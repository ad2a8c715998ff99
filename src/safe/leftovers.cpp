#include "safe/leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "sys/failure.h"
#include "sys/file_handle.h"

namespace {

constexpr std::size_t random_part = 6;  // mkstemp's XXXXXX

// A tree deeper than this was not made by a run: what lies below is left.
constexpr int deepest = 16;

// Removes everything in the directory open at dir (on device), then
// nothing more; depth counts the levels above it. Each entry is looked at
// without following it; a directory on another device is a mount, and is
// left with what leads to it.
bool empty_tree(int dir, dev_t device, int depth, const std::string& where, std::string* err) {
  const int listed = ::dup(dir);
  if (listed < 0) {
    *err = os_error("cannot read directory " + where);
    return false;
  }
  const dir_stream entries(::fdopendir(listed));
  if (!entries) {
    ::close(listed);
    *err = os_error("cannot read directory " + where);
    return false;
  }
  errno = 0;
  while (const dirent* entry = ::readdir(entries.get())) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") {
      continue;
    }
    struct stat status {};
    if (::fstatat(dir, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      errno = 0;
      continue;  // gone meanwhile
    }
    const std::string path = where + "/" + std::string(name);
    if (S_ISDIR(status.st_mode)) {
      if (status.st_dev != device || depth >= deepest) {
        *err = path + " is a mount or lies too deep; left as it is";
        return false;
      }
      const unique_fd sub(
          ::openat(dir, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub) {
        *err = os_error("cannot open " + path);
        return false;
      }
      if (!empty_tree(sub.get(), device, depth + 1, path, err)) {
        return false;
      }
    }
    if (::unlinkat(dir, entry->d_name, S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0) != 0 &&
        errno != ENOENT) {
      *err = os_error("cannot remove " + path);
      return false;
    }
    errno = 0;
  }
  if (errno != 0) {
    *err = os_error("cannot read directory " + where);
    return false;
  }
  return true;
}

// Calls remove(dir_fd, name, status, err) for each entry of dir named
// prefix + XXXXXX, looked at without following it; stops at the first that
// fails. False, with the reason in err, when dir cannot be read or a
// removal failed.
template <typename remover>
bool sweep(const std::string& dir, const std::string& prefix, remover remove, std::string* err) {
  const dir_stream entries(::opendir(dir.c_str()));
  if (!entries) {
    *err = os_error("cannot read directory " + dir);
    return false;
  }
  const int dir_fd = ::dirfd(entries.get());
  errno = 0;
  while (const dirent* entry = ::readdir(entries.get())) {
    const std::string name(entry->d_name);
    struct stat status {};
    if (name.size() == prefix.size() + random_part && name.starts_with(prefix) &&
        ::fstatat(dir_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !remove(dir_fd, name, status, err)) {
      *err += " (in " + dir + ")";
      return false;
    }
    errno = 0;
  }
  if (errno != 0) {
    *err = os_error("cannot read directory " + dir);
    return false;
  }
  return true;
}

}  // namespace

bool leftovers_remove(const std::string& dir, const std::string& prefix, std::string* err) {
  return sweep(
      dir, prefix,
      [](int dir_fd, const std::string& name, const struct stat& status, std::string* why) {
        if (!S_ISREG(status.st_mode) || status.st_uid != 0 ||
            ::unlinkat(dir_fd, name.c_str(), 0) == 0 || errno == ENOENT) {
          return true;
        }
        *why = os_error("cannot remove leftover " + name);
        return false;
      },
      err);
}

bool leftovers_remove_tree(int parent, const std::string& name, std::string* err) {
  const unique_fd dir(
      ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!dir || ::fstat(dir.get(), &status) != 0) {
    *err = os_error("cannot open directory " + name);
    return false;
  }
  if (!empty_tree(dir.get(), status.st_dev, 0, name, err)) {
    return false;
  }
  if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
    *err = os_error("cannot remove directory " + name);
    return false;
  }
  return true;
}

bool leftovers_remove_directories(const std::string& dir, const std::string& prefix,
                                  std::string* err) {
  struct stat parent {};
  if (::stat(dir.c_str(), &parent) != 0) {
    *err = os_error("cannot stat directory " + dir);
    return false;
  }
  return sweep(
      dir, prefix,
      [&parent](int dir_fd, const std::string& name, const struct stat& status, std::string* why) {
        return !S_ISDIR(status.st_mode) || status.st_uid != 0 || (status.st_mode & 07777) != 0700 ||
               status.st_dev != parent.st_dev || leftovers_remove_tree(dir_fd, name, why);
      },
      err);
}
