#include "e2e_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

namespace fs = std::filesystem;

namespace {

pid_t spawn(const std::vector<std::string>& argv, const sandbox_env& env, const fs::path& cwd) {
  std::vector<char*> args;
  for (const auto& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const auto& [name, value] : env) {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
    if (::chdir(cwd.c_str()) != 0) {
      ::_exit(126);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

device_root::device_root() {
  fs::create_directories(etc());
  fs::create_directories(dir / "sbin");
  fs::create_directories(dir / "tmp");
  fs::create_directories(dir / "bin");
  fs::permissions(dir / "tmp", fs::perms::all | fs::perms::sticky_bit);
  fs::copy_file(TAL_SETCONF, dir / "bin/tal-setconf");
}

void device_root::install_hash_probe() const {
  fs::copy_file(FD_PROBE, hash_tool());
}

std::string device_root::input(std::string_view text, std::string_view name) const {
  write_file(dir / name, text);
  return std::string(name);
}

pid_t device_root::start_as(const std::string& program, const std::vector<std::string>& args,
                            const sandbox_env& env) const {
  std::error_code exists;
  fs::create_symlink("tal-setconf", dir / "bin" / program, exists);
  std::vector<std::string> argv{SANDBOX, dir.path.string()};
  // The sandbox's shell resets inherited signal dispositions, so the state
  // the tool is to inherit is set up by perl right before it.
  sandbox_env sandbox_vars;
  for (const auto& [name, value] : env) {
    if (name == inherit_sigchld_ignored) {
      argv.insert(argv.end(), {"perl", "-e", "$SIG{CHLD} = 'IGNORE'; exec @ARGV or exit 126"});
    } else if (name == inherit_stdio_closed) {
      argv.insert(argv.end(), {"perl", "-e",
                               "close STDIN; close STDOUT; close STDERR; exec @ARGV or exit 126"});
    } else {
      sandbox_vars.emplace_back(name, value);
    }
  }
  // A cross build's tool runs under its emulator, named in front of it.
  std::istringstream emulator(TOOL_EMULATOR);
  for (std::string word; emulator >> word;) {
    argv.push_back(word);
  }
  argv.push_back("./bin/" + program);
  argv.insert(argv.end(), args.begin(), args.end());
  return spawn(argv, sandbox_vars, dir.path);
}

int device_root::run(std::string_view token, const std::vector<std::string>& args,
                     const sandbox_env& env) const {
  return wait_exit_status(start(token, args, env));
}

int wait_exit_status(pid_t pid) {
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool sandbox_available() {
  static const bool available = [] {
    return wait_exit_status(
               spawn({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/true"}, {},
                     "/")) == 0;
  }();
  return available;
}

std::vector<std::string> dir_names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}
