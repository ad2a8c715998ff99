// Every file and program the tool touches. The device binary uses
// device_paths and nothing else: a tool that runs as root takes no path from
// its caller, neither by flag nor by environment.
#pragma once

struct tool_paths {
  const char* settings;      // the module's settings file
  const char* settings_dir;  // its directory, locked for the whole run
  const char* working_copy;  // where /bin/cp copies the settings file
  const char* copy_program;
  const char* hash_program;  // run on the settings file after each change, when present
};

inline constexpr tool_paths device_paths{
    .settings = "/opt/tal/etc/settings",
    .settings_dir = "/opt/tal/etc",
    .working_copy = "/tmp/settings.module.tal",
    .copy_program = "/bin/cp",
    .hash_program = "/sbin/hash_generate",
};
