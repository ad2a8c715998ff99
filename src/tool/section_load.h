// Loading a section's current values from the settings file.
#pragma once

#include <sys/types.h>

#include <string>

#include "sys/file_handle.h"
#include "tool/section_catalogue.h"

// Fills the fields of the record's kind from the lines of settings, read from
// its current position: each field gets the value of the first line that
// holds its key (keys compare without regard to case); an absent key or a
// number that does not parse gives "" or 0. A conf value is the stored
// base64, not decoded. The record's section, key_infix and kind must be set.
// False, with the reason in err, when a read failed (ENOMEM: no room for a
// line); the record is then not to be written back.
//
// plain, unless null, receives how many bytes from where the load began are
// whole lines that hold no carriage return and not the section's pattern,
// in any case: lines the rewrite keeps as they stand.
bool section_load(section_record& record, const named_fd& settings, off_t* plain, std::string* err);
