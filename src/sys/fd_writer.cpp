#include "sys/fd_writer.h"

#include <sys/sendfile.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "sys/failure.h"

namespace {

constexpr off_t page = 4096;
// Pieces shorter than this are gathered; from there on copying them would
// cost more than a write call.
constexpr std::size_t direct_from = std::size_t{1} << 14;
constexpr std::size_t gathered_at_most = std::size_t{1} << 16;

// All of first, then all of second, in one call when the kernel takes it
// all: a write costs the filesystem a call's overhead whatever its size.
bool write_all(fd_writer& writer, std::string_view first, std::string_view second,
               std::string* err) {
  while (!first.empty() || !second.empty()) {
    std::array<iovec, 2> pieces{iovec{const_cast<char*>(first.data()), first.size()},
                                iovec{const_cast<char*>(second.data()), second.size()}};
    const std::size_t from = first.empty() ? 1 : 0;
    const std::size_t to = second.empty() ? 1 : 2;
    const ssize_t put = ::writev(writer.fd, &pieces[from], static_cast<int>(to - from));
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      *err = os_error("writing " + std::string(writer.path), put < 0 ? errno : EIO);
      return false;
    }
    writer.written += put;
    const auto done = static_cast<std::size_t>(put);
    const std::size_t from_first = std::min(done, first.size());
    first.remove_prefix(from_first);
    second.remove_prefix(done - from_first);
  }
  return true;
}

bool write_all(fd_writer& writer, std::string_view data, std::string* err) {
  return write_all(writer, data, {}, err);
}

// Writes what is pending up to the last page boundary it reaches.
bool write_pending_pages(fd_writer& writer, std::string* err) {
  const off_t end = writer.written + static_cast<off_t>(writer.pending.size());
  const auto whole =
      static_cast<std::size_t>(std::max<off_t>(end - end % page - writer.written, 0));
  if (!write_all(writer, std::string_view(writer.pending).substr(0, whole), err)) {
    return false;
  }
  writer.pending.erase(0, whole);
  return true;
}

// The kernel's copy failed before it began: through this process instead.
bool copy_through(fd_writer& writer, int from, off_t offset, off_t length, std::string* err) {
  std::array<char, 1 << 16> block{};
  while (length > 0) {
    const ssize_t got =
        ::pread(from, block.data(), static_cast<std::size_t>(std::min<off_t>(length, block.size())),
                offset);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      *err = got < 0 ? os_error("reading for " + std::string(writer.path))
                     : "the file copied to " + std::string(writer.path) + " ended early";
      return false;
    }
    if (!write_all(writer, {block.data(), static_cast<std::size_t>(got)}, err)) {
      return false;
    }
    offset += got;
    length -= got;
  }
  return true;
}

}  // namespace

fd_writer fd_writer_for(const named_fd& file) {
  fd_writer writer;
  writer.fd = file.fd;
  writer.path = file.path;
  return writer;
}

bool fd_writer_add(fd_writer& writer, std::string_view data, std::string* err) {
  if (data.size() < direct_from) {
    writer.pending.append(data);
    return writer.pending.size() < gathered_at_most || write_pending_pages(writer, err);
  }
  // What is pending, and data as it stands up to the last page boundary
  // they reach together, in one call; the rest waits. Two calls, the first
  // topping the pending bytes up to a page, made a large store measurably
  // slower (doc/benchmark.md).
  const off_t end = writer.written + static_cast<off_t>(writer.pending.size() + data.size());
  const std::size_t rest = static_cast<std::size_t>(end % page);
  if (!write_all(writer, writer.pending, data.substr(0, data.size() - rest), err)) {
    return false;
  }
  writer.pending.assign(data.substr(data.size() - rest));
  return true;
}

bool fd_writer_copy(fd_writer& writer, int from, off_t offset, off_t length, std::string* err) {
  if (!fd_writer_flush(writer, err)) {
    return false;
  }
  bool begun = false;
  while (length > 0) {
    const ssize_t sent = ::sendfile(writer.fd, from, &offset, static_cast<std::size_t>(length));
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent < 0 && !begun && (errno == EINVAL || errno == ENOSYS)) {
      return copy_through(writer, from, offset, length, err);
    }
    if (sent <= 0) {
      *err = sent < 0 ? os_error("writing " + std::string(writer.path))
                      : "the file copied to " + std::string(writer.path) + " ended early";
      return false;
    }
    begun = true;
    writer.written += sent;
    length -= sent;
  }
  return true;
}

bool fd_writer_flush(fd_writer& writer, std::string* err) {
  const bool written = write_all(writer, writer.pending, err);
  writer.pending.clear();
  return written;
}
