#include "sys/system_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sys/file_handle.h"

namespace {

constexpr std::string_view ellipsis = "...";

void append_escaped(std::string& out, unsigned char c) {
  switch (c) {
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (c >= 0x20 && c <= 0x7e) {
    out += static_cast<char>(c);
    return;
  }
  constexpr std::string_view hex = "0123456789abcdef";
  out += "\\x";
  out += hex[c >> 4];
  out += hex[c & 15];
}

// Sends without waiting; a stream socket (some syslog daemons listen on one)
// gets the message ended by a NUL byte, as they expect.
void send_to(const char* socket_path, const std::string& message) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(socket_path) >= sizeof address.sun_path) {
    return;
  }
  std::strcpy(address.sun_path, socket_path);
  const auto* where = reinterpret_cast<const sockaddr*>(&address);
  const unique_fd datagram(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!datagram) {
    return;
  }
  if (::sendto(datagram.get(), message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL, where,
               sizeof address) >= 0 ||
      errno != EPROTOTYPE) {
    return;  // sent, or dropped
  }
  const unique_fd stream(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!stream || ::connect(stream.get(), where, sizeof address) != 0) {
    return;
  }
  static_cast<void>(
      ::send(stream.get(), message.c_str(), message.size() + 1, MSG_DONTWAIT | MSG_NOSIGNAL));
}

}  // namespace

std::string system_log_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    append_escaped(out, static_cast<unsigned char>(c));
  }
  return out;
}

std::string system_log_body(std::string_view text, std::size_t max_bytes) {
  std::string whole = system_log_escape(text);
  if (whole.size() <= max_bytes) {
    return whole;
  }
  std::string out;
  std::string piece;
  for (const char c : text) {
    piece.clear();
    append_escaped(piece, static_cast<unsigned char>(c));
    if (out.size() + piece.size() > max_bytes - ellipsis.size()) {
      break;
    }
    out += piece;
  }
  out += ellipsis;
  return out;
}

void system_log_send(const char* socket_path, std::string_view ident, int level,
                     std::string_view message, std::size_t body_max) {
  std::string line("<");
  line.append(std::to_string(system_log_facility | level))
      .append(">")
      .append(system_log_escape(ident))
      .append("[")
      .append(std::to_string(::getpid()))
      .append("]: ")
      .append(system_log_body(message, body_max));
  send_to(socket_path, line);
}
