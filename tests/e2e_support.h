// End-to-end runs of the real binary. Its paths are fixed, so each test lays
// out a device root of its own (opt/tal/etc, sbin, tmp) and runs the binary
// through sandbox.sh, which mounts that root's directories over /opt, /sbin
// and /tmp in a private mount namespace. That needs root; without it the
// tests skip.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scratch_dir.h"

// Variables for the sandbox (SANDBOX_…, see sandbox.sh), and two names that
// instead set up the process state the tool is started with (values unused).
using sandbox_env = std::vector<std::pair<std::string, std::string>>;
inline constexpr std::string_view inherit_sigchld_ignored = "@sigchld-ignored";
inline constexpr std::string_view inherit_stdio_closed = "@stdio-closed";

struct device_root {
  scratch_dir dir;

  device_root();  // an empty settings directory, no hash tool, an empty /tmp

  std::filesystem::path settings() const { return dir / "opt/tal/etc/settings"; }
  std::filesystem::path etc() const { return dir / "opt/tal/etc"; }
  std::filesystem::path working_copy() const { return dir / "tmp/settings.module.tal"; }
  std::filesystem::path hash_tool() const { return dir / "sbin/hash_generate"; }

  void set_settings(std::string_view content) const { write_file(settings(), content); }
  std::string settings_content() const { return read_file(settings()); }
  void install_hash_probe() const;

  // Writes text to a file of the root and returns its path relative to the root.
  std::string input(std::string_view text, std::string_view name = "input.txt") const;

  // Runs tal-setconf-<token> with the given arguments; returns its exit status.
  int run(std::string_view token, const std::vector<std::string>& args,
          const sandbox_env& env = {}) const;
  int run_text(std::string_view token, std::string_view text) const {
    return run(token, std::vector<std::string>{input(text)});
  }
  // The same, started without waiting: the pid is the tool's own once the
  // sandbox has set up and exec'd it.
  pid_t start(std::string_view token, const std::vector<std::string>& args,
              const sandbox_env& env = {}) const {
    return start_as("tal-setconf-" + std::string(token), args, env);
  }
  // Started under any program name (a link to the binary in the root's bin/).
  pid_t start_as(const std::string& program, const std::vector<std::string>& args,
                 const sandbox_env& env = {}) const;
};

// Exit status of a child, or 128 + signal when a signal ended it.
int wait_exit_status(pid_t pid);

bool sandbox_available();

#define SKIP_WITHOUT_SANDBOX()                                                                \
  do {                                                                                        \
    if (!sandbox_available()) {                                                               \
      GTEST_SKIP() << "end-to-end runs need root and a private mount namespace (unshare -m)"; \
    }                                                                                         \
  } while (false)

// Lists the names in a directory, sorted.
std::vector<std::string> dir_names(const std::filesystem::path& dir);
