// The platform's hash tool, run on the settings file after every change so
// that the platform's hash of the file matches its content.
#pragma once

#include <string>

// Runs hash_program on settings when it exists, under the run's time bound.
// True when it ran and succeeded or is absent (a device without one);
// otherwise false, with what went wrong in err. Its outcome never changes
// whether the settings were stored.
bool hash_tool_run(const char* hash_program, const char* settings, std::string* err);
