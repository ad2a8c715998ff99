#include "process/run_program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "scratch_dir.h"

namespace {

struct probe {
  scratch_dir dir;
  std::string path = (dir / "probe").string();

  probe() { std::filesystem::copy_file(FD_PROBE, path); }
  std::string report() const { return read_file(path + ".report"); }
};

// What a run of the program came to, and the reason the runner gave.
struct ran {
  bool succeeded = false;
  program_run run;
  std::string why;
};

// A bound no program of these tests comes near, unless it hangs.
constexpr program_options within_10_s{{std::chrono::seconds(10), std::chrono::seconds(1)}};

// Started and waited for in two steps, as run_program does, so that the raw
// outcome the runner keeps can be read.
ran run_of(const char* path, std::span<const char* const> args, const program_options& options) {
  ran result;
  running_program running;
  result.succeeded = program_start(path, args, options, &running, &result.why) &&
                     program_wait(running, &result.why);
  result.run = running.outcome;
  return result;
}

// The raw wait status: 0 for an exit with status 0, 256 for status 1 (also
// what a program that cannot be executed gives), -1 when no child was made.
int wait_status(const char* path, std::span<const char* const> args) {
  return run_of(path, args, within_10_s).run.status;
}

int wait_status(const char* path, std::initializer_list<const char*> args) {
  return wait_status(path, std::span<const char* const>(args.begin(), args.size()));
}

// Killed: gone, or a zombie waiting for init to reap it; waits up to 2 s.
bool gone(pid_t pid) {
  const auto state_of = [pid] {
    std::string state;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), state);
    return state;
  };
  for (int i = 0; i < 100; ++i) {
    const std::string state = state_of();
    if (state.empty() || state.find(") Z") != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The pids a shell wrote to a file, once it has written them.
std::vector<pid_t> pids_in(const std::filesystem::path& file, std::size_t count) {
  std::vector<pid_t> pids;
  for (int i = 0; i < 500 && pids.size() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pids.clear();
    std::istringstream words(read_file(file));
    for (pid_t pid = 0; words >> pid;) {
      pids.push_back(pid);
    }
  }
  return pids;
}

}  // namespace

TEST(RunProgram, ReturnsTheRawWaitStatus) {
  probe p;
  EXPECT_EQ(wait_status(p.path.c_str(), {}), 0);
  EXPECT_EQ(wait_status(p.path.c_str(), {"a", "b"}), 512);
  EXPECT_EQ(wait_status((p.dir / "missing").c_str(), {}), 256);
  // Without a slash the program is looked up in PATH.
  EXPECT_EQ(wait_status("true", {}), 0);
  EXPECT_EQ(wait_status("false", {}), 256);
}

TEST(RunProgram, ChildSeesDevNullAndNoOtherDescriptor) {
  probe p;
  // Held open without close-on-exec, as a careless caller might.
  const int held = ::open(p.path.c_str(), O_RDONLY);
  ASSERT_GE(held, 3);
  EXPECT_EQ(wait_status(p.path.c_str(), {"x"}), 256);
  ::close(held);
  EXPECT_EQ(p.report(),
            "argc 2\narg x\nfd 0 /dev/null\nfd 1 /dev/null\nfd 2 /dev/null\nworking-copy "
            "no\nsignals default\ngroup own\n");
}

TEST(RunProgram, PassesAtMost62Arguments) {
  probe p;
  std::vector<std::string> words;
  for (int i = 1; i <= 70; ++i) {
    words.push_back(std::to_string(i));
  }
  std::vector<const char*> args;
  for (const auto& word : words) {
    args.push_back(word.c_str());
  }
  wait_status(p.path.c_str(), args);
  const std::string report = p.report();
  EXPECT_EQ(report.substr(0, report.find('\n')), "argc 63");
  EXPECT_NE(report.find("arg 62\n"), std::string::npos);
  EXPECT_EQ(report.find("arg 63\n"), std::string::npos);
}

TEST(RunProgram, ParentWithStandardDescriptorsClosed) {
  probe p;
  for (const int closed : {0, 1, 2}) {
    const pid_t tester = ::fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
      ::close(closed);
      ::_exit(wait_status(p.path.c_str(), {}) == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(tester, &status, 0), tester);
    EXPECT_EQ(status, 0) << "descriptor " << closed;
    EXPECT_EQ(p.report(),
              "argc 1\nfd 0 /dev/null\nfd 1 /dev/null\nfd 2 /dev/null\nworking-copy no\nsignals "
              "default\ngroup own\n")
        << "descriptor " << closed;
  }
}

TEST(RunProgram, ExecErrorReachesAParentWithStandardDescriptorsClosed) {
  probe p;
  const std::string missing = (p.dir / "missing").string();
  const pid_t tester = ::fork();
  ASSERT_GE(tester, 0);
  if (tester == 0) {
    // The report pipe then takes descriptors 0 and 1, where the child puts
    // /dev/null.
    ::close(0);
    ::close(1);
    const program_run run = run_of(missing.c_str(), {}, within_10_s).run;
    ::_exit(run.exec_error == ENOENT && run.status == 256 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(tester, &status, 0), tester);
  EXPECT_EQ(status, 0);
}

TEST(RunProgram, CannotRunIsToldApartFromRanAndFailed) {
  probe p;
  const std::string missing_path = (p.dir / "missing").string();
  const ran missing = run_of(missing_path.c_str(), {}, within_10_s);
  EXPECT_EQ(missing.run.status, 256);
  EXPECT_EQ(missing.run.exec_error, ENOENT);
  EXPECT_EQ(missing.why, "cannot run " + missing_path + ": No such file or directory");

  write_file(p.dir / "not-executable", "#!/bin/sh\n");
  EXPECT_EQ(run_of((p.dir / "not-executable").c_str(), {}, within_10_s).run.exec_error, EACCES);

  const ran failing = run_of("false", {}, within_10_s);
  EXPECT_EQ(failing.run.status, 256);
  EXPECT_EQ(failing.run.exec_error, 0);
  EXPECT_FALSE(failing.succeeded);
  EXPECT_EQ(failing.why, "false exited with status 1");
  EXPECT_TRUE(run_of("true", {}, within_10_s).succeeded);
}

TEST(RunProgram, ABoundStopsTheProgramAndEverythingItStarted) {
  scratch_dir dir;
  const std::string pids = (dir / "pids").string();
  // Long enough for a shell to set its trap and write its pids on a busy
  // machine, short enough for a unit test.
  const program_options bound{{std::chrono::milliseconds(1000), std::chrono::milliseconds(500)}};
  // Deaf to SIGTERM, and with a child of its own: only SIGKILL to the group
  // ends both.
  const std::string deaf = "trap '' TERM; sleep 60 & echo $$ $! > " + pids + "; wait";
  const auto started = std::chrono::steady_clock::now();
  const std::array<const char*, 2> shell_args{"-c", deaf.c_str()};
  const ran stopped = run_of("sh", shell_args, bound);
  const program_run& run = stopped.run;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_TRUE(run.stopped);
  ASSERT_TRUE(WIFSIGNALED(run.status));
  EXPECT_EQ(WTERMSIG(run.status), SIGKILL);
  EXPECT_EQ(stopped.why, "sh did not finish within 1 s and was stopped");
  const auto both = pids_in(pids, 2);
  ASSERT_EQ(both.size(), 2U);
  EXPECT_TRUE(gone(both[1]));

  // One that ends on SIGTERM is not sent SIGKILL.
  const std::array<const char*, 1> sleep_args{"60"};
  const program_run polite = run_of("sleep", sleep_args, bound).run;
  EXPECT_TRUE(polite.stopped);
  EXPECT_TRUE(WIFSIGNALED(polite.status) && WTERMSIG(polite.status) == SIGTERM);
  // A quick program is not stopped.
  EXPECT_TRUE(run_of("true", {}, within_10_s).succeeded);

  // A leader that ends on SIGTERM, with a child deaf to it: the child goes too.
  const std::string leader_goes = "(trap '' TERM; exec sleep 60) & echo $! > " + pids + "; wait";
  const std::array<const char*, 2> leader_args{"-c", leader_goes.c_str()};
  std::filesystem::remove(pids);
  const program_run left = run_of("sh", leader_args, bound).run;
  EXPECT_TRUE(left.stopped && WIFSIGNALED(left.status) && WTERMSIG(left.status) == SIGTERM);
  const auto deaf_child = pids_in(pids, 1);
  ASSERT_EQ(deaf_child.size(), 1U);
  EXPECT_TRUE(gone(deaf_child[0]));
}

TEST(RunProgram, NothingOfAProgramThatEndsWithTheRunOutlivesIt) {
  scratch_dir dir;
  const std::string pids = (dir / "pids").string();
  const program_options tied{.bound = within_10_s.bound,
                             .lifetime = program_lifetime::ends_with_run};
  // What the program leaves in its group when it exits goes with it...
  const std::string leaves = "sleep 60 & echo $! > " + pids;
  const std::array<const char*, 2> leave_args{"-c", leaves.c_str()};
  EXPECT_TRUE(run_of("sh", leave_args, tied).succeeded);
  const auto left = pids_in(pids, 1);
  ASSERT_EQ(left.size(), 1U);
  EXPECT_TRUE(gone(left[0]));

  // ...and the program itself goes when the caller is killed first.
  std::filesystem::remove(pids);
  const std::string waits = "echo $$ > " + pids + "; exec sleep 60";
  const pid_t caller = ::fork();
  ASSERT_GE(caller, 0);
  if (caller == 0) {
    const std::array<const char*, 2> wait_args{"-c", waits.c_str()};
    static_cast<void>(run_of("sh", wait_args, tied));
    ::_exit(0);
  }
  const auto program = pids_in(pids, 1);
  ::kill(caller, SIGKILL);
  ::waitpid(caller, nullptr, 0);
  ASSERT_EQ(program.size(), 1U);
  EXPECT_TRUE(gone(program[0]));
}

TEST(RunProgram, ChildStartsWithDefaultSignalsInAGroupOfItsOwn) {
  probe p;
  // What the tool itself does (SIGXFSZ ignored), and what a caller might
  // leave (a blocked signal), must not reach the program.
  const auto old_xfsz = std::signal(SIGXFSZ, SIG_IGN);
  const auto old_pipe = std::signal(SIGPIPE, SIG_IGN);
  sigset_t usr1;
  sigset_t old_mask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, &old_mask);
  EXPECT_EQ(wait_status(p.path.c_str(), {}), 0);
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  std::signal(SIGXFSZ, old_xfsz);
  std::signal(SIGPIPE, old_pipe);
  EXPECT_NE(p.report().find("signals default\ngroup own\n"), std::string::npos) << p.report();
}
