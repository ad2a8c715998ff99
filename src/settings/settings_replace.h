// Replacing the settings file so that, at every instant and across a power
// loss, it holds either its old content or its new content, whole.
//
//   settings_replace_begin   a new file, created exclusively beside the
//                            settings file, with its owner, mode and
//                            extended attributes;
//   (write through .stream)
//   settings_replace_commit  flush, fsync, close, rename over the settings
//                            file, fsync the directory.
//
// Any failure before the rename leaves the settings file as it was; the
// holder's destructor removes the new file, so a failed run needs no
// cleanup call. Once the rename has been done the new content is in place;
// a failed directory sync after it means only that the rename may not yet
// be durable (commit says so apart from the other failures). A run killed
// half-way leaves its new file, .settings.tal-setconf-XXXXXX, which
// settings_replace_remove_leftovers removes on the next run.
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

// Creates the new file for the settings file at settings_path. Nothing, with
// the reason in err, when settings_path does not name a regular file (through
// any symbolic links) or the new file cannot be made as the old one is. A
// security label that could not be carried over is told in warning.
std::optional<settings_replacement> settings_replace_begin(const char* settings_path,
                                                           std::string* err, std::string* warning);

enum class commit_result {
  committed,    // the new content is in place, durably
  not_durable,  // in place, but the directory sync after the rename failed
  failed,       // not in place: the settings file is as it was
};

commit_result settings_replace_commit(settings_replacement& replacement, std::string* err);

// Removes the new files that runs killed half-way left beside the settings
// file. Call only while holding the lock that keeps other runs out.
bool settings_replace_remove_leftovers(const char* settings_path, std::string* err);
