#include "tool/config_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sys/failure.h"
#include "sys/file_handle.h"
#include "sys/text.h"
#include "tool/tool_limits.h"

bool config_text_read(const char* path, const closed_stdio& closed, std::string* text,
                      std::string* err) {
  const unique_fd file(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!file) {
    *err = os_error("cannot read " + std::string(path));
    return false;
  }
  struct stat opened {};
  if (closed.any && ::fstat(file.get(), &opened) != 0) {
    *err = os_error("cannot stat " + std::string(path));
    return false;
  }
  if (closed.any && opened.st_dev == closed.device && opened.st_ino == closed.inode) {
    *err = std::string(path) + " is a standard stream that was closed when the tool started";
    return false;
  }
  std::string read(config_text_max_read + 1, '\0');
  std::size_t have = 0;
  // A pipe or a FIFO gives its bytes in several reads.
  while (have < read.size()) {
    const ssize_t got = ::read(file.get(), read.data() + have, read.size() - have);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      *err = os_error("cannot read " + std::string(path));
      return false;
    }
    if (got == 0) {
      break;
    }
    have += static_cast<std::size_t>(got);
  }
  read.resize(have);
  *text = text_before_nul(read);
  return true;
}
