// The one line each run leaves in the system log: the platform's other tools
// report there, and operators read every configuration change and every
// refusal there (logread, or /var/log/syslog).
//
// Logging must never hold up a run and never print: the message is sent as
// one datagram on a non-blocking socket and dropped on any error (no daemon,
// a stuck daemon, a full queue). glibc's syslog() is not used because it
// blocks when the daemon's queue is full.
#pragma once

#include <syslog.h>

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr int system_log_facility = LOG_USER;

// The text as printable ASCII on one line: every byte outside 0x20-0x7e and
// the backslash itself are escaped (\\, \n, \t, \r, \x1b, ...), so that no
// file or program name can forge a line of its own.
std::string system_log_escape(std::string_view text);

// The escaped text, cut between escapes to at most max_bytes, "..." included.
std::string system_log_body(std::string_view text, std::size_t max_bytes);

// Sends "<priority>ident[pid]: body" to the syslog socket at socket_path
// (/dev/log), ident and body escaped; level is LOG_ERR, LOG_WARNING,
// LOG_NOTICE... Never waits, never fails the caller.
//
// No time stamp: the daemon adds its own when the line carries none. Making
// one would mean reading the time zone, which the caller's TZ can point at a
// FIFO or a huge file; and a stamp sent in UTC is stored as sent by BusyBox's
// syslogd, hours off on a router in another zone.
void system_log_send(const char* socket_path, std::string_view ident, int level,
                     std::string_view message, std::size_t body_max);
