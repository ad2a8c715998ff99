// The one shape of a failed system call's reason: "what failed: OS error
// text", for the log line.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

// Call right after the failure, before errno can change.
inline std::string os_error(std::string_view what, int error = errno) {
  std::string reason(what);
  reason.append(": ").append(std::strerror(error));
  return reason;
}
