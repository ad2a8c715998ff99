// Runs that wait out the tool's time bounds (30 s for a program, 60 s for
// the lock). ctest starts them first, so that they overlap the rest.
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
  // Hangs the first time, deaf to SIGTERM; then behaves.
  root.script("sbin/hash_generate",
              "[ -e /opt/hung-once ] && exit 0\n: > /opt/hung-once\ntrap '' TERM\nsleep 100000");
  const auto started = std::chrono::steady_clock::now();
  const pid_t first = root.start("ospf", {root.input("first", "first.txt")});
  while (!std::filesystem::exists(root.dir / "opt/hung-once") &&
         std::chrono::steady_clock::now() - started < std::chrono::seconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const pid_t second = root.start("bgp", {root.input("second", "second.txt")});
  EXPECT_EQ(wait_exit_status(first), 0);
  const auto first_took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(first_took, std::chrono::seconds(30));
  EXPECT_LT(first_took, std::chrono::seconds(50));
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
                             "obtained within 60 s"),
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
