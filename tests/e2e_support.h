// End-to-end runs of the real binary. Its paths are fixed, so each test lays
// out a device root of its own (opt/tal/etc, sbin, tmp) and runs the binary
// through sandbox.sh, which mounts that root's directories over /opt, /sbin
// and /tmp in a private mount namespace. That needs root; without it the
// tests skip.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scratch_dir.h"

// Variables for the sandbox (SANDBOX_…, see sandbox.sh), and names that
// instead set up the process state the tool is started with.
using sandbox_env = std::vector<std::pair<std::string, std::string>>;
inline constexpr std::string_view inherit_sigchld_ignored = "@sigchld-ignored";  // value unused
inline constexpr std::string_view inherit_stdio_closed = "@stdio-closed";        // value unused
// The value is a shell command run in the sandbox that ends in exec "$@",
// "$@" being the tool and its arguments: ulimit -f 8; exec "$@"
inline constexpr std::string_view shell_wrapper = "@shell";

// A syslog daemon of the test's own: a socket in the root that the sandbox
// mounts at /dev/log. Datagrams by default; a stream socket, as some daemons
// have, takes messages ended by NUL bytes.
struct log_listener {
  int fd = -1;
  int type = 0;
  std::filesystem::path path;

  explicit log_listener(std::filesystem::path socket_path, int receive_buffer = 0,
                        int socket_type = SOCK_DGRAM);
  log_listener(const log_listener&) = delete;
  log_listener& operator=(const log_listener&) = delete;
  ~log_listener();

  // Every message received so far, oldest first.
  std::vector<std::string> messages() const;
  // Sends datagrams to itself until its queue is full.
  void fill_queue() const;
};

struct device_root {
  scratch_dir dir;

  device_root();  // an empty settings directory, no hash tool, an empty /tmp

  std::filesystem::path settings() const { return dir / "opt/tal/etc/settings"; }
  std::filesystem::path etc() const { return dir / "opt/tal/etc"; }
  std::filesystem::path working_copy() const { return dir / "tmp/settings.module.tal"; }
  std::filesystem::path hash_tool() const { return dir / "sbin/hash_generate"; }
  std::filesystem::path lock_file() const { return dir / "opt/tal/etc/.settings.lock"; }
  // The lock file as a first run leaves it (root's, 0600).
  void make_lock_file() const;
  // What the settings directory holds after any run: the settings and the lock.
  static std::vector<std::string> settings_dir_after_run() {
    return {".settings.lock", "settings"};
  }

  void set_settings(std::string_view content) const { write_file(settings(), content); }
  // What every run so far wrote to its standard output and error.
  std::string outputs() const { return read_file(dir / "outputs.txt"); }
  std::string settings_content() const { return read_file(settings()); }
  void install_hash_probe() const;

  // An executable shell script of the root, e.g. a stand-in for cp or the
  // hash tool; returns its path relative to the root.
  std::string script(std::string_view name, std::string_view body) const;

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
// The same, for a run that must end within seconds: one that does not is
// killed, and gives 128 + SIGKILL.
int wait_exit_status_within(pid_t pid, int seconds);

bool sandbox_available();

// A race runs for a fixed time, whatever the machine: a count of rounds would
// grow with an emulator's or a sanitizer's slowness past any timeout. One
// that reached fewer than race_least_rounds rounds in its time proves
// nothing, and fails.
inline constexpr std::chrono::seconds race_time{10};
inline constexpr int race_least_rounds = 5;

// Runs round again and again for about time, until a fatal failure;
// returns how many rounds ran.
int race_rounds(std::chrono::seconds time, const std::function<void()>& round);

#define SKIP_WITHOUT_SANDBOX()                                                                    \
  do {                                                                                            \
    if (!sandbox_available()) {                                                                   \
      GTEST_SKIP() << "needs root with CAP_SYS_ADMIN for a private mount namespace (unshare -m)"; \
    }                                                                                             \
  } while (false)

// The settings most tests start from, and what storing "text" into the ospf
// section makes of them.
inline constexpr std::string_view ospf_settings_before = "A=1\nMOD_TAL_OSPF_ENABLED=1\nB=2\n";
inline constexpr std::string_view ospf_settings_after =
    "A=1\nMOD_TAL_OSPF_ENABLED=1\nMOD_TAL_OSPF_CONF=dGV4dA==\nB=2\n";

// A run that failed cleanly: exit 2, the settings as they were, nothing new
// beside them, nothing printed, and, unless a cheating cp left its own files
// there, nothing of the run in /tmp.
void expect_clean_failure(const device_root& root, int status,
                          std::string_view settings = ospf_settings_before,
                          bool tmp_left_empty = true);

// A device root holding ospf_settings_before; skips without a sandbox.
struct ospf_root_test : ::testing::Test {
  device_root root;
  void SetUp() override {
    SKIP_WITHOUT_SANDBOX();
    root.set_settings(ospf_settings_before);
  }
};

// Lists the names in a directory, sorted.
std::vector<std::string> dir_names(const std::filesystem::path& dir);
