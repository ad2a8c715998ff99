// Writing a section back into the settings file.
#pragma once

#include <cstdio>

#include "settings/settings_replace.h"
#include "tool/section_catalogue.h"
#include "tool/tool_paths.h"

// A configuration text longer than this would become a base64 value longer
// than a settings value may be, and be cut: such a text is refused.
inline constexpr std::size_t config_text_max_stored = 12000;

// Rewrites the settings file with the record's section: every line that does
// not belong to the section is kept in its order (cut at its first carriage
// return and line feed, ended by one line feed), and the section's block, in
// catalogue order, takes the place of its first line, or goes at the end. A
// line belongs to the section when it holds "=" and the section's pattern.
// True when the new file is in place; otherwise the settings file is as it
// was. The record must have been loaded and its conf set to the new text.
bool section_save(const section_record& record, const tool_paths& paths);

// The rewrite itself, from the lines of in to out: kept lines, and the block
// in the place of the section's first line or at the end. False when a line
// could not be written whole or in could not be read.
bool section_rewrite(std::FILE* in, std::FILE* out, const section_record& record);

// Puts the new settings file in place (flush, sync, rename, directory sync)
// and then, when the hash tool exists, runs it on the settings path; the hash
// tool's result does not change the outcome, which is the commit's.
bool section_commit(settings_replacement& replacement, const tool_paths& paths);
