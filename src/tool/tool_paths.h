// Every file and program the tool touches. The device binary uses
// device_paths and nothing else: a tool that runs as root takes no path from
// its caller, neither by flag nor by environment.
#pragma once

struct tool_paths {
  const char* settings;      // the module's settings file
  const char* legacy_lock;   // where earlier versions kept their lock: taken too, when there
  const char* working_copy;  // where /bin/cp copies the settings file
  const char* copy_program;
  const char* hash_program;  // run on the settings file after each change, when present
  const char* log_socket;    // the system log
};

inline constexpr tool_paths device_paths{
    .settings = "/opt/tal/etc/settings",
    .legacy_lock = "/opt/tal/etc/.settings.lock",
    .working_copy = "/tmp/settings.module.tal",
    .copy_program = "/bin/cp",
    .hash_program = "/sbin/hash_generate",
    .log_socket = "/dev/log",
};
