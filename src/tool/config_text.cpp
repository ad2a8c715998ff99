#include "tool/config_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "settings/file_handle.h"
#include "settings/os_error.h"

std::optional<std::string> config_text_read(const char* path, const closed_stdio& closed,
                                            std::string* err) {
  const unique_fd file(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!file) {
    *err = os_error("cannot read " + std::string(path));
    return std::nullopt;
  }
  struct stat opened {};
  if (::fstat(file.get(), &opened) != 0) {
    *err = os_error("cannot stat " + std::string(path));
    return std::nullopt;
  }
  if (closed.any && opened.st_dev == closed.device && opened.st_ino == closed.inode) {
    *err = std::string(path) + " is a standard stream that was closed when the tool started";
    return std::nullopt;
  }
  std::string text(config_text_max_read + 1, '\0');
  std::size_t have = 0;
  // A pipe or a FIFO gives its bytes in several reads.
  while (have < text.size()) {
    const ssize_t got = ::read(file.get(), text.data() + have, text.size() - have);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      *err = os_error("cannot read " + std::string(path));
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    have += static_cast<std::size_t>(got);
  }
  text.resize(have);
  text.resize(text.find('\0') == std::string::npos ? have : text.find('\0'));
  return text;
}
