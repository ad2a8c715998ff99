#include "sys/fd_writer.h"

#include <unistd.h>

#include <cerrno>

#include "sys/failure.h"

namespace {

// Pieces shorter than this are gathered; the rest are written at once. A
// write call costs about what copying a few KiB does.
constexpr std::size_t direct_from = std::size_t{1} << 14;
constexpr std::size_t gathered_at_most = std::size_t{1} << 16;

// All of data, whatever the number of calls it takes.
bool fd_write_all(int fd, std::string_view path, std::string_view data, std::string* err) {
  while (!data.empty()) {
    const ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      *err = os_error("writing " + std::string(path), put < 0 ? errno : EIO);
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace

bool fd_writer_flush(fd_writer& writer, std::string* err) {
  const bool written = fd_write_all(writer.fd, writer.path, writer.pending, err);
  writer.pending.clear();
  return written;
}

bool fd_writer_add(fd_writer& writer, std::string_view data, std::string* err) {
  if (data.size() >= direct_from) {
    return fd_writer_flush(writer, err) && fd_write_all(writer.fd, writer.path, data, err);
  }
  if (writer.pending.size() + data.size() > gathered_at_most && !fd_writer_flush(writer, err)) {
    return false;
  }
  writer.pending.append(data);
  return true;
}
