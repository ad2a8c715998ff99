// What one run ends with: its exit status, the tool's only output besides the
// settings file, and the one line it leaves in the system log.
#pragma once

#include <syslog.h>

#include <string>

enum exit_status : int {
  exit_stored = 0,       // the section was stored
  exit_bad_input = 1,    // bad invocation, refused program name, unreadable or oversized text
  exit_not_updated = 2,  // the settings file could not be updated (see section_store)
};

struct run_report {
  exit_status status = exit_stored;
  int level = LOG_NOTICE;  // LOG_ERR for a failed run, LOG_WARNING for a store with a warning
  std::string ident;       // the program's base name; refused_program_ident for a refused name
  std::string message;
};
