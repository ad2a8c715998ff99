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

}  // namespace

bool leftovers_remove(const std::string& dir, const std::string& prefix, std::string* err) {
  const dir_stream entries(::opendir(dir.c_str()));
  if (!entries) {
    *err = os_error("cannot read directory " + dir);
    return false;
  }
  const int dir_fd = ::dirfd(entries.get());
  errno = 0;
  while (const dirent* entry = ::readdir(entries.get())) {
    const std::string_view name(entry->d_name);
    struct stat status {};
    if (name.size() == prefix.size() + random_part && name.starts_with(prefix) &&
        ::fstatat(dir_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode) && status.st_uid == 0 &&
        ::unlinkat(dir_fd, entry->d_name, 0) != 0 && errno != ENOENT) {
      *err = os_error("cannot remove leftover " + dir + "/" + std::string(name));
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
