// The tool's exit statuses: its only output besides the settings file.
#pragma once

enum exit_status : int {
  exit_stored = 0,       // the section was stored
  exit_bad_input = 1,    // bad invocation, refused program name, unreadable or oversized text
  exit_not_updated = 2,  // the settings file could not be updated; it is as it was
};
