// Every file and program the tool touches. The device binary uses
// device_paths and nothing else: a tool that runs as root takes no path from
// its caller, neither by flag nor by environment.
#pragma once

struct tool_paths {
  const char* settings;  // the module's settings file
  // Where the versions before this one kept their lock. Taken first, when it
  // is there, so that an earlier version and this one exclude each other
  // while a router is upgraded (see section_lock.h).
  const char* earlier_versions_lock;
  const char* working_copy;  // where /bin/cp copies the settings file
  const char* copy_program;
  const char* hash_program;  // run on the settings file after each change, when present
  const char* log_socket;    // the system log
};

inline constexpr tool_paths device_paths{
    .settings = "/opt/tal/etc/settings",
    .earlier_versions_lock = "/opt/tal/etc/.settings.lock",
    .working_copy = "/tmp/settings.module.tal",
    .copy_program = "/bin/cp",
    .hash_program = "/sbin/hash_generate",
    .log_socket = "/dev/log",
};
