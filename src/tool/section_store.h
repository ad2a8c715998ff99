// One run of the tool, from its command line to its report.
#pragma once

#include "tool/config_text.h"
#include "tool/run_report.h"
#include "tool/tool_paths.h"

// tal-setconf-<section> FILE: stores FILE's text as the configuration of the
// section into paths.settings. Every failure leaves the settings file as it
// was (exit_not_updated), except a failed directory sync after the rename:
// the new content is then in place but may not be durable, and the report
// says so. The lock is released before this returns; nothing is printed.
// closed tells what the tool put on standard descriptors closed at start.
run_report section_store(int argc, const char* const* argv, const tool_paths& paths,
                         const closed_stdio& closed);
