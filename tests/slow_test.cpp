// Runs that wait out the tool's time bounds (30 s for a program, 10 s for a
// writer that holds the settings open, 180 s for the lock). ctest starts
// them first, so that they overlap the rest.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "e2e_support.h"

namespace {

constexpr std::string_view before = ospf_settings_before;

}  // namespace

TEST(slow, AStuckHashToolIsStoppedAndTheStoreWaitingBehindItLands) {
  SKIP_WITHOUT_SANDBOX();
  device_root root;
  root.set_settings(before);
  const log_listener listener(root.dir / "log.sock");
  // The first store's cp takes 29 s, within its bound, and its hash tool
  // hangs, deaf to SIGTERM; then both behave.
  root.script("sbin/hash_generate",
              "[ -e /opt/hung-once ] && exit 0\n: > /opt/hung-once\ntrap '' TERM\nsleep 100000");
  const sandbox_env slow_cp{
      {"SANDBOX_CP", root.script("slow-cp",
                                 "cat \"$1\" > \"$2\"\n[ -e /opt/slow-once ] && exit 0\n"
                                 ": > /opt/slow-once; sleep 29")}};
  const auto started = std::chrono::steady_clock::now();
  const pid_t first = root.start("ospf", {root.input("first", "first.txt")}, slow_cp);
  while (!std::filesystem::exists(root.dir / "opt/slow-once") &&
         std::chrono::steady_clock::now() - started < std::chrono::seconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const pid_t second = root.start("bgp", {root.input("second", "second.txt")}, slow_cp);
  EXPECT_EQ(wait_exit_status(first), 0);
  const auto first_took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(first_took, std::chrono::seconds(62));
  EXPECT_LT(first_took, std::chrono::seconds(80));
  EXPECT_EQ(wait_exit_status(second), 0);
  const std::string after = root.settings_content();
  EXPECT_NE(after.find("MOD_TAL_OSPF_CONF=Zmlyc3Q=\n"), std::string::npos) << after;
  EXPECT_NE(after.find("MOD_TAL_BGP_CONF=c2Vjb25k\n"), std::string::npos) << after;
  const auto messages = listener.messages();
  ASSERT_EQ(messages.size(), 2U);
  EXPECT_EQ(messages[0].find("<12>"), 0U) << messages[0];  // LOG_USER | LOG_WARNING
  EXPECT_NE(messages[0].find("stored section ospf: 5 bytes of configuration text; hash tool: "
                             "/sbin/hash_generate did not finish within 30 s and was stopped"),
            std::string::npos)
      << messages[0];
  EXPECT_EQ(messages[1].find("<13>"), 0U) << messages[1];  // LOG_USER | LOG_NOTICE
  EXPECT_EQ(root.outputs(), "");
}

TEST(slow, LockNotObtainedInTime) {
  SKIP_WITHOUT_SANDBOX();
  device_root root;
  root.set_settings(before);
  ASSERT_EQ(root.run_text("ospf", "first"), 0);  // makes the lock file
  const log_listener listener(root.dir / "log.sock");
  const int lock = ::open(root.lock_file().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const std::string stored = root.settings_content();
  EXPECT_EQ(root.run_text("ospf", "second"), 2);
  ::close(lock);
  EXPECT_EQ(root.settings_content(), stored);
  const auto messages = listener.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_NE(messages[0].find("settings not updated: lock on /opt/tal/etc/.settings.lock not "
                             "obtained within 180 s"),
            std::string::npos)
      << messages[0];
}

TEST(slow, AWriterThatKeepsTheFileOpenIsWaitedForAndThenLeftAlone) {
  SKIP_WITHOUT_SANDBOX();
  device_root root;
  root.set_settings(before);
  const log_listener listener(root.dir / "log.sock");
  const int writer = ::open(root.settings().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "W=1\n", 4), 4);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(root.run_text("ospf", "text"), 2);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  ::close(writer);
  EXPECT_EQ(root.settings_content(), std::string(before) + "W=1\n");
  const auto messages = listener.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_NE(messages[0].find("settings not updated: /opt/tal/etc/settings was held open for "
                             "writing by another process for 10 s"),
            std::string::npos)
      << messages[0];
}

TEST(slow, AChildStuckBeforeExecIsStoppedWithinTheBound) {
  SKIP_WITHOUT_SANDBOX();
  if (std::string_view(PRELOAD_FAULT).empty()) {
    GTEST_SKIP() << "the fault is preloaded, which needs a dynamically linked tool without "
                    "a sanitizer runtime";
  }
  device_root root;
  root.set_settings(before);
  const log_listener listener(root.dir / "log.sock");
  std::filesystem::copy_file(PRELOAD_FAULT, root.dir / "preload_fault.so");
  // The child forked for cp hangs opening /dev/null, before it can exec.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_exit_status_within(
                root.start("ospf", {root.input("text")},
                           {{std::string(shell_wrapper),
                             "TAL_FAULT=devnull-blocks LD_PRELOAD=\"$PWD/preload_fault.so\" "
                             "exec \"$@\""}}),
                120),
            2);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::seconds(30));
  EXPECT_LT(took, std::chrono::seconds(40));
  EXPECT_EQ(root.settings_content(), before);
  const auto messages = listener.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_NE(messages[0].find("settings not updated: /bin/cp did not finish within 30 s and was "
                             "stopped"),
            std::string::npos)
      << messages[0];
  // The lock went with the run: the next store lands at once.
  const auto next = std::chrono::steady_clock::now();
  EXPECT_EQ(root.run_text("ospf", "text"), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - next, std::chrono::seconds(10));
  EXPECT_EQ(root.settings_content(), ospf_settings_after);
}
