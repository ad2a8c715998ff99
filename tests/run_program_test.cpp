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
  const program_bound unbounded{};
  const program_run missing = run_program_bounded((p.dir / "missing").c_str(), {}, unbounded);
  EXPECT_EQ(missing.status, 256);
  EXPECT_EQ(missing.exec_error, ENOENT);
  EXPECT_EQ(program_failure("/bin/cp", missing, unbounded),
            "cannot run /bin/cp: No such file or directory");

  write_file(p.dir / "not-executable", "#!/bin/sh\n");
  const program_run denied = run_program_bounded((p.dir / "not-executable").c_str(), {}, unbounded);
  EXPECT_EQ(denied.exec_error, EACCES);

  const program_run failing = run_program_bounded("false", {}, unbounded);
  EXPECT_EQ(failing.status, 256);
  EXPECT_EQ(failing.exec_error, 0);
  EXPECT_FALSE(program_succeeded(failing));
  EXPECT_EQ(program_failure("false", failing, unbounded), "false exited with status 1");
  EXPECT_TRUE(program_succeeded(run_program_bounded("true", {}, unbounded)));
}

TEST(RunProgram, ABoundStopsTheProgramAndEverythingItStarted) {
  scratch_dir dir;
  const std::string pids = (dir / "pids").string();
  const program_bound bound{std::chrono::milliseconds(300), std::chrono::milliseconds(300)};
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
  pid_t shell = 0;
  pid_t sleeper = 0;
  std::istringstream(read_file(pids)) >> shell >> sleeper;
  ASSERT_GT(sleeper, 0);
  // Killed: gone, or a zombie waiting for init to reap it.
  const auto state_of = [](pid_t pid) {
    std::string state;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), state);
    return state;
  };
  for (int i = 0;
       i < 100 && !state_of(sleeper).empty() && state_of(sleeper).find(") Z") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string state = state_of(sleeper);
  EXPECT_TRUE(state.empty() || state.find(") Z") != std::string::npos) << state;

  // One that ends on SIGTERM is not sent SIGKILL.
  const std::array<const char*, 1> sleep_args{"60"};
  const program_run polite = run_program_bounded("sleep", sleep_args, bound);
  EXPECT_TRUE(polite.stopped);
  EXPECT_TRUE(WIFSIGNALED(polite.status) && WTERMSIG(polite.status) == SIGTERM);
  // A quick program is not stopped.
  EXPECT_TRUE(program_succeeded(run_program_bounded("true", {}, bound)));
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
