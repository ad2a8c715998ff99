// One run of the tool at a time, whatever the section: every run holds an
// exclusive lock on the settings file's directory from before it loads the
// section until its working copy is gone. The directory is never replaced,
// so the lock leaves no file behind.
#pragma once

#include <chrono>

#include "settings/file_handle.h"

inline constexpr std::chrono::milliseconds section_lock_wait{30000};

// The locked directory, held until the returned descriptor closes; an empty
// descriptor when the directory cannot be opened or another run holds the
// lock for longer than wait.
unique_fd section_lock(const char* directory, std::chrono::milliseconds wait);
