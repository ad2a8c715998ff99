// Loading a section's current values from the settings file.
#pragma once

#include <sys/types.h>

#include <string>

#include "section/section_catalogue.h"
#include "settings/settings_file.h"
#include "sys/file_handle.h"

// Fills the fields of the record's kind from the lines of settings, read from
// its start (pread; its position is not used): each field gets the value of the first line that
// holds its key (keys compare without regard to case); an absent key or a
// number that does not parse gives "" or 0. A conf value is the stored
// base64, not decoded. The record's section, key_infix and kind must be set.
// False, with the reason in err, when a read failed (ENOMEM: no room for a
// line); the record is then not to be written back.
//
// plain receives the parts of the file that are plain lines under the
// section's marker in any case: lines the rewrite keeps as they stand. The
// load reads the whole file.
bool section_load(const named_fd& settings, section_record* record, settings_plain_parts* plain,
                  std::string* err);
