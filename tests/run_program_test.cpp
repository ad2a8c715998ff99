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
  EXPECT_EQ(run_program(p.path.c_str(), {}), 0);
  EXPECT_EQ(run_program(p.path.c_str(), {"a", "b"}), 512);
  EXPECT_EQ(run_program((p.dir / "missing").c_str(), {}), 256);
  // Without a slash the program is looked up in PATH.
  EXPECT_EQ(run_program("true", {}), 0);
  EXPECT_EQ(run_program("false", {}), 256);
}

TEST(RunProgram, ChildSeesDevNullAndNoOtherDescriptor) {
  probe p;
  // Held open without close-on-exec, as a careless caller might.
  const int held = ::open(p.path.c_str(), O_RDONLY);
  ASSERT_GE(held, 3);
  EXPECT_EQ(run_program(p.path.c_str(), {"x"}), 256);
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
  run_program(p.path.c_str(), args);
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
      ::_exit(run_program(p.path.c_str(), {}) == 0 ? 0 : 1);
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
    const program_run run = run_program_bounded(missing.c_str(), {}, {});
    ::_exit(run.exec_error == ENOENT && run.status == 256 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(tester, &status, 0), tester);
  EXPECT_EQ(status, 0);
}

TEST(RunProgram, CannotRunIsToldApartFromRanAndFailed) {
  probe p;
  const program_options unbounded{};
  const program_run missing = run_program_bounded((p.dir / "missing").c_str(), {}, unbounded);
  EXPECT_EQ(missing.status, 256);
  EXPECT_EQ(missing.exec_error, ENOENT);
  EXPECT_EQ(program_failure("/bin/cp", missing, unbounded.bound),
            "cannot run /bin/cp: No such file or directory");

  write_file(p.dir / "not-executable", "#!/bin/sh\n");
  const program_run denied = run_program_bounded((p.dir / "not-executable").c_str(), {}, unbounded);
  EXPECT_EQ(denied.exec_error, EACCES);

  const program_run failing = run_program_bounded("false", {}, unbounded);
  EXPECT_EQ(failing.status, 256);
  EXPECT_EQ(failing.exec_error, 0);
  EXPECT_FALSE(program_succeeded(failing));
  EXPECT_EQ(program_failure("false", failing, unbounded.bound), "false exited with status 1");
  EXPECT_TRUE(program_succeeded(run_program_bounded("true", {}, unbounded)));
}

TEST(RunProgram, ABoundStopsTheProgramAndEverythingItStarted) {
  scratch_dir dir;
  const std::string pids = (dir / "pids").string();
  const program_options bound{{std::chrono::milliseconds(300), std::chrono::milliseconds(300)}};
  // Deaf to SIGTERM, and with a child of its own: only SIGKILL to the group
  // ends both.
  const std::string deaf = "trap '' TERM; sleep 60 & echo $$ $! > " + pids + "; wait";
  const auto started = std::chrono::steady_clock::now();
  const std::array<const char*, 2> shell_args{"-c", deaf.c_str()};
  const program_run run = run_program_bounded("sh", shell_args, bound);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_TRUE(run.stopped);
  ASSERT_TRUE(WIFSIGNALED(run.status));
  EXPECT_EQ(WTERMSIG(run.status), SIGKILL);
  EXPECT_EQ(program_failure("sh", run, {std::chrono::seconds(30), {}}),
            "sh did not finish within 30 s and was stopped");
  const auto both = pids_in(pids, 2);
  ASSERT_EQ(both.size(), 2U);
  EXPECT_TRUE(gone(both[1]));

  // One that ends on SIGTERM is not sent SIGKILL.
  const std::array<const char*, 1> sleep_args{"60"};
  const program_run polite = run_program_bounded("sleep", sleep_args, bound);
  EXPECT_TRUE(polite.stopped);
  EXPECT_TRUE(WIFSIGNALED(polite.status) && WTERMSIG(polite.status) == SIGTERM);
  // A quick program is not stopped.
  EXPECT_TRUE(program_succeeded(run_program_bounded("true", {}, bound)));

  // A leader that ends on SIGTERM, with a child deaf to it: the child goes too.
  const std::string leader_goes = "(trap '' TERM; exec sleep 60) & echo $! > " + pids + "; wait";
  const std::array<const char*, 2> leader_args{"-c", leader_goes.c_str()};
  std::filesystem::remove(pids);
  const program_run left = run_program_bounded("sh", leader_args, bound);
  EXPECT_TRUE(left.stopped && WIFSIGNALED(left.status) && WTERMSIG(left.status) == SIGTERM);
  const auto deaf_child = pids_in(pids, 1);
  ASSERT_EQ(deaf_child.size(), 1U);
  EXPECT_TRUE(gone(deaf_child[0]));
}

TEST(RunProgram, NothingOfAProgramThatEndsWithTheRunOutlivesIt) {
  scratch_dir dir;
  const std::string pids = (dir / "pids").string();
  const program_options tied{.lifetime = program_lifetime::ends_with_run};
  // What the program leaves in its group when it exits goes with it...
  const std::string leaves = "sleep 60 & echo $! > " + pids;
  const std::array<const char*, 2> leave_args{"-c", leaves.c_str()};
  EXPECT_TRUE(program_succeeded(run_program_bounded("sh", leave_args, tied)));
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
    static_cast<void>(run_program_bounded("sh", wait_args, tied));
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
  EXPECT_EQ(run_program(p.path.c_str(), {}), 0);
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  std::signal(SIGXFSZ, old_xfsz);
  std::signal(SIGPIPE, old_pipe);
  EXPECT_NE(p.report().find("signals default\ngroup own\n"), std::string::npos) << p.report();
}
