#include "e2e_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

// outputs, when given, receives the child's standard output and error.
pid_t spawn(const std::vector<std::string>& argv, const sandbox_env& env, const fs::path& cwd,
            const fs::path& outputs = {}) {
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
    if (!outputs.empty()) {
      const int out = ::open(outputs.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) {
        ::_exit(126);
      }
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

void device_root::make_lock_file() const {
  write_file(lock_file(), "");
  fs::permissions(lock_file(), fs::perms::owner_read | fs::perms::owner_write);
}

std::string device_root::script(std::string_view name, std::string_view body) const {
  write_file(dir / name, "#!/bin/sh\n" + std::string(body) + "\n");
  fs::permissions(dir / name, fs::perms::owner_all);
  return std::string(name);
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
    if (name == shell_wrapper) {
      argv.insert(argv.end(), {"/bin/sh", "-c", value, "sh"});
    } else if (name == inherit_sigchld_ignored) {
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
  if (fs::exists(dir / "log.sock")) {
    sandbox_vars.emplace_back("SANDBOX_LOG", "log.sock");
  }
  return spawn(argv, sandbox_vars, dir.path, dir / "outputs.txt");
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

int wait_exit_status_within(pid_t pid, int seconds) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    const pid_t waited = pid > 0 ? ::waitpid(pid, &status, WNOHANG) : -1;
    if (waited < 0) {
      return -1;
    }
    if (waited == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() > give_up) {
      ::kill(pid, SIGKILL);
      return wait_exit_status(pid);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int race_rounds(std::chrono::seconds time, const std::function<void()>& round) {
  const auto end = std::chrono::steady_clock::now() + time;
  int rounds = 0;
  for (; std::chrono::steady_clock::now() < end && !::testing::Test::HasFatalFailure(); ++rounds) {
    round();
  }
  return rounds;
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

namespace {

// A socket's path must fit in sun_path (108 bytes), and a scratch directory
// deep in a build tree may not: the path goes through a descriptor of the
// directory instead, /proc/self/fd/N/NAME.
struct socket_address {
  int dir = -1;
  sockaddr_un address{};
  explicit socket_address(const fs::path& path) {
    dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    address.sun_family = AF_UNIX;
    const std::string short_path =
        "/proc/self/fd/" + std::to_string(dir) + "/" + path.filename().string();
    std::strncpy(address.sun_path, short_path.c_str(), sizeof address.sun_path - 1);
  }
  socket_address(const socket_address&) = delete;
  socket_address& operator=(const socket_address&) = delete;
  ~socket_address() { ::close(dir); }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address); }
};

}  // namespace

log_listener::log_listener(fs::path socket_path, int receive_buffer, int socket_type)
    : type(socket_type), path(std::move(socket_path)) {
  // A listening stream socket that never blocks in accept; its connections
  // block in read until the sender has closed.
  fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | (type == SOCK_STREAM ? SOCK_NONBLOCK : 0), 0);
  if (receive_buffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  const socket_address address(path);
  if (fd < 0 || ::bind(fd, address.get(), sizeof address.address) != 0) {
    ADD_FAILURE() << "cannot bind " << path << ": " << std::strerror(errno);
  }
  if (type == SOCK_STREAM && ::listen(fd, 8) != 0) {
    ADD_FAILURE() << "cannot listen on " << path << ": " << std::strerror(errno);
  }
}

log_listener::~log_listener() {
  if (fd >= 0) {
    ::close(fd);
  }
}

std::vector<std::string> log_listener::messages() const {
  std::vector<std::string> received;
  std::array<char, 4096> buffer{};
  while (type == SOCK_STREAM) {
    // Each sender has connected, written and closed: read each to its end.
    const int connection = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      return received;
    }
    std::string stream;
    for (ssize_t got = 0; (got = ::read(connection, buffer.data(), buffer.size())) > 0;) {
      stream.append(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(connection);
    for (std::size_t end = 0; (end = stream.find('\0')) != std::string::npos;) {
      received.push_back(stream.substr(0, end));
      stream.erase(0, end + 1);
    }
  }
  for (;;) {
    const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0) {
      return received;
    }
    received.emplace_back(buffer.data(), static_cast<std::size_t>(got));
  }
}

void log_listener::fill_queue() const {
  const int sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const socket_address address(path);
  const std::string filler(200, 'f');
  int sent = 0;
  while (::sendto(sender, filler.data(), filler.size(), MSG_DONTWAIT, address.get(),
                  sizeof address.address) >= 0) {
    ++sent;
  }
  EXPECT_EQ(errno, EAGAIN) << "after " << sent << " datagrams";
  ::close(sender);
}

void expect_clean_failure(const device_root& root, int status, std::string_view settings,
                          bool tmp_left_empty) {
  EXPECT_EQ(status, 2);
  EXPECT_EQ(root.settings_content(), settings);
  EXPECT_EQ(dir_names(root.etc()), device_root::settings_dir_after_run());
  if (tmp_left_empty) {
    EXPECT_TRUE(dir_names(root.dir / "tmp").empty());
  }
  EXPECT_EQ(root.outputs(), "");
}
