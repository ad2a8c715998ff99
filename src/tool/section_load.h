// Loading a section's current values from the settings file.
#pragma once

#include "tool/section_catalogue.h"

enum class load_result {
  loaded,      // read from the settings file
  missing,     // no settings file: every field holds its default ("" or 0)
  read_error,  // the file exists but could not be read; the record is not to be written
};

// Fills the fields of the record's kind, each with the value of the first
// line that holds its key (keys compare without regard to case); an absent
// key or a number that does not parse gives "" or 0. The record's section and
// key_infix must be set. A conf value is the stored base64, not decoded.
load_result section_load(section_record& record, const char* settings_path);
