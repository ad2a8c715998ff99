// The rewrite of the settings file's lines: every line that does not belong
// to the section is kept in its order (cut at its first carriage return and
// line feed, ended by one line feed), and the section's block, in catalogue
// order, takes the place of its first line, or goes at the end. A line
// belongs to the section when it holds "=" and the section's pattern.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "section/section_catalogue.h"
#include "settings/settings_file.h"
#include "sys/file_handle.h"

// Reads the lines of in from its start (pread and sendfile at offsets: its
// position is not used) and writes the new content to out, an empty file.
// The record must have been loaded and its conf set to the new text. plain:
// the parts known to be plain lines, which the rewrite keeps as they stand
// (section_load tells); they are copied without being read here. False, with
// the reason in err, when a read of in (ENOMEM: no room for a line) or a
// write to out failed, or in ended before plain.end.
// A text value longer than value_max is written cut to it.
bool section_rewrite(const named_fd& in, const named_fd& out, const section_record& record,
                     const settings_plain_parts& plain, std::size_t value_max, std::string* err);
