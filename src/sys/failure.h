// How a function of this tool says that it failed, and why. One shape
// throughout src/:
//
//   bool step(inputs…, result* out, std::string* err);
//
// It returns true when it did its job, and then fills *out (when it makes
// something). It returns false when it did not, with the reason in *err:
// what failed, on which file or program, and the OS error text, ready for
// the log line ("cannot open lock file /opt/tal/etc/.settings.lock:
// Permission denied"). An errno becomes text with os_error right where the
// failing call is made, before anything can change it. Nothing here throws;
// nothing but the driver prints, logs or picks an exit status. An output
// that is also an input (the record a load fills) is passed by pointer like
// any other; so is the holder a step first fills (the lock, the
// replacement, the working copy, a running program). A step that then works
// on such a holder, which it neither makes nor hands back, takes it by
// reference, as the object of the call: settings_replace_commit(replacement,
// …), program_wait(running, …).
//
// A step that can end in more ways than done or failed (a commit that finds
// the settings changed, a wait that a signal cuts short) returns an enum
// that names each, with the reason in err where it failed; a question that
// can fail returns std::optional. A step never returns its success and
// fills a flag as well.
//
// One exception, where it is better: a step whose caller must act on which
// OS error it met (an extended attribute the filesystem does not support, or
// one removed since it was listed, is no failure of the store) hands that
// errno value out through an int* taken right where the call failed, in
// place of err; the caller turns it into its reason. No errno is ever left
// for a caller to read.
//
// A run can also meet something it survives but an operator should hear of
// (an ACL the new file cannot hold, a directory moved aside). A step that
// can meet one takes the run's warnings and appends to them; nobody clears
// them, the driver owns them from the start of the run to its log line.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using warning_list = std::vector<std::string>;

// "what: OS error text". Call right after the failure, before errno can change.
inline std::string os_error(std::string_view what, int error = errno) {
  std::string reason(what);
  reason.append(": ").append(std::strerror(error));
  return reason;
}
