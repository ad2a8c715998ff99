#include "process/run_program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
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
            "argc 2\narg x\nfd 0 /dev/null\nfd 1 /dev/null\nfd 2 /dev/null\nworking-copy no\n");
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
              "argc 1\nfd 0 /dev/null\nfd 1 /dev/null\nfd 2 /dev/null\nworking-copy no\n")
        << "descriptor " << closed;
  }
}
