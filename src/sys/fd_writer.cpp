#include "sys/fd_writer.h"

#include <unistd.h>

#include <cerrno>

#include "sys/failure.h"

namespace {

constexpr std::size_t page = 4096;
// Pieces shorter than this are gathered; from there on copying them would
// cost more than a write call.
constexpr std::size_t direct_from = std::size_t{1} << 14;
constexpr std::size_t gathered_at_most = std::size_t{1} << 16;

// All of data, whatever the number of calls it takes.
bool write_all(const fd_writer& writer, std::string_view data, std::string* err) {
  while (!data.empty()) {
    const ssize_t put = ::write(writer.fd, data.data(), data.size());
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      *err = os_error("writing " + std::string(writer.path), put < 0 ? errno : EIO);
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

// Writes the whole pages of what is pending and keeps the rest.
bool write_pending_pages(fd_writer& writer, std::string* err) {
  const std::size_t whole = writer.pending.size() - writer.pending.size() % page;
  if (!write_all(writer, std::string_view(writer.pending).substr(0, whole), err)) {
    return false;
  }
  writer.pending.erase(0, whole);
  return true;
}

}  // namespace

bool fd_writer_add(fd_writer& writer, std::string_view data, std::string* err) {
  if (data.size() < direct_from) {
    writer.pending.append(data);
    return writer.pending.size() < gathered_at_most || write_pending_pages(writer, err);
  }
  // What is pending, topped up to a page boundary; then the whole pages of
  // data as they stand; the rest waits.
  const std::size_t top_up = (page - writer.pending.size() % page) % page;
  writer.pending.append(data.substr(0, top_up));
  data.remove_prefix(top_up);
  const std::size_t whole = data.size() - data.size() % page;
  if (!write_pending_pages(writer, err) || !write_all(writer, data.substr(0, whole), err)) {
    return false;
  }
  writer.pending.assign(data.substr(whole));
  return true;
}

bool fd_writer_flush(fd_writer& writer, std::string* err) {
  const bool written = write_all(writer, writer.pending, err);
  writer.pending.clear();
  return written;
}
