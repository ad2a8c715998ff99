// Replacing the settings file so that, at every instant and across a power
// loss, it holds either its old content or its new content, whole: the new
// content goes into a new file created exclusively beside it, which is
// flushed, synced and renamed over it; on any failure the new file is removed
// and the settings file is left as it was.
#pragma once

#include <optional>
#include <string>

#include "settings/file_handle.h"

struct settings_replacement {
  std::string target;     // the settings file itself (a symbolic link resolved)
  std::string temp_path;  // the new file; empty once renamed into place or removed
  unique_fd directory;    // the target's directory, synced after the rename
  file_stream stream;     // the new file, opened for writing

  settings_replacement() = default;
  settings_replacement(const settings_replacement&) = delete;
  settings_replacement& operator=(const settings_replacement&) = delete;
  settings_replacement(settings_replacement&& other) noexcept;
  settings_replacement& operator=(settings_replacement&&) = delete;
  ~settings_replacement();  // removes a new file that was not committed
};

// Creates the new file for the settings file at settings_path, with the mode
// and owner of the current file. Nothing when settings_path does not name a
// regular file (through any symbolic links) or the new file cannot be made.
std::optional<settings_replacement> settings_replace_begin(const char* settings_path);

// Flushes, syncs and closes the new file, renames it over the target and syncs
// the directory. True when all of that succeeded; otherwise the new file is
// removed, and the target is still the old file unless only the final
// directory sync failed.
bool settings_replace_commit(settings_replacement& replacement);

// Removes the new files that runs killed half-way left beside the settings
// file. Call only while holding the lock that keeps other runs out.
void settings_replace_remove_leftovers(const char* settings_path);
