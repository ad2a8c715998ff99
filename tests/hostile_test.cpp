// Hostile surroundings: resource limits, odd files at the settings path,
// other users, extended attributes. Each run stores or leaves the settings
// file byte-identical, and nothing of the run is left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "e2e_support.h"
#include "settings/base64.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view before = ospf_settings_before;
const std::string after(ospf_settings_after);

struct hostile : ospf_root_test {
  std::string last_log(const log_listener& listener) const {
    const auto messages = listener.messages();
    return messages.empty() ? std::string() : messages.back();
  }
};

std::string acl_of(const fs::path& path) {
  std::string value(1024, '\0');
  const ssize_t size = ::getxattr(path.c_str(), "system.posix_acl_access", value.data(), 1024);
  return size < 0 ? std::string() : value.substr(0, static_cast<std::size_t>(size));
}

bool have_setfacl() {
  return std::system("command -v setfacl >/dev/null 2>&1") == 0;
}

}  // namespace

TEST_F(hostile, FileSizeLimitEndsTheRunCleanly) {
  const log_listener listener(root.dir / "log.sock");
  // The new file would pass 8 KB: the write fails with EFBIG instead of
  // SIGXFSZ ending the tool half-way.
  expect_clean_failure(root, root.run("ospf", {root.input(std::string(11900, 't'))},
                                      {{std::string(shell_wrapper), "ulimit -f 8; exec \"$@\""}}));
  EXPECT_NE(last_log(listener).find("File too large"), std::string::npos) << last_log(listener);
}

TEST_F(hostile, MemoryLimitEndsTheRunCleanly) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space: ulimit -v cannot work";
#endif
  if (std::string_view(TOOL_EMULATOR).size() > 0) {
    GTEST_SKIP() << "under qemu-user the limit falls on the emulator, not on the tool";
  }
  const log_listener listener(root.dir / "log.sock");
  const std::string long_line = std::string(20000000, 'v');
  const std::string in = root.input("text");
  // The reader cannot grow its block to hold a 20 MB line of another key...
  const std::string other = "A=1\nLONG=" + long_line + "\nMOD_TAL_OSPF_ENABLED=1\n";
  root.set_settings(other);
  expect_clean_failure(
      root, root.run("ospf", {in}, {{std::string(shell_wrapper), "ulimit -v 20000; exec \"$@\""}}),
      other);
  EXPECT_NE(last_log(listener).find("Cannot allocate memory"), std::string::npos);
  // ...and with room for the block, not for a copy of the section's own
  // 20 MB value besides it: the standard library throws, the run unwinds.
  const std::string own = "A=1\nMOD_TAL_OSPF_CONF=" + long_line + "\nB=2\n";
  root.set_settings(own);
  expect_clean_failure(
      root, root.run("ospf", {in}, {{std::string(shell_wrapper), "ulimit -v 50000; exec \"$@\""}}),
      own);
  EXPECT_NE(last_log(listener).find("settings not updated: "), std::string::npos);
}

TEST_F(hostile, OnlyARegularFileIsTakenForTheSettings) {
  const log_listener listener(root.dir / "log.sock");
  fs::remove(root.settings());
  ASSERT_EQ(::mkfifo(root.settings().c_str(), 0600), 0);
  const pid_t run = root.start("ospf", {root.input("text")});
  int status = 0;
  for (int i = 0; i < 500 && ::waitpid(run, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (::waitpid(run, &status, WNOHANG) == 0) {
    ::kill(run, SIGKILL);
    FAIL() << "the run hangs on a FIFO at the settings path";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
  EXPECT_NE(last_log(listener).find("/opt/tal/etc/settings is not a regular file"),
            std::string::npos);
  EXPECT_TRUE(fs::is_fifo(root.settings()));
}

TEST_F(hostile, TextIsReadFromAPipe) {
  EXPECT_EQ(
      root.run("ospf", {"/dev/stdin"}, {{std::string(shell_wrapper), "printf text | exec \"$@\""}}),
      0);
  EXPECT_EQ(root.settings_content(), after);
  EXPECT_EQ(root.outputs(), "");
}

TEST_F(hostile, OtherUsersCannotHoldStoresUp) {
  ASSERT_EQ(root.run_text("ospf", "first"), 0);  // makes the lock file
  root.set_settings(before);
  // Another user locks everything it can open in the settings directory.
  int go_on[2];
  int told[2];
  ASSERT_EQ(::pipe(go_on), 0);
  ASSERT_EQ(::pipe(told), 0);
  const pid_t other = ::fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    ::close(go_on[1]);
    ::close(told[0]);
    // Opened as root, so that the test does not depend on the scratch
    // directory's own path being open to everyone; locked as nobody.
    const int dir = ::open(root.etc().c_str(), O_RDONLY | O_DIRECTORY);
    const int settings = ::open(root.settings().c_str(), O_RDONLY);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(1);
    }
    int result[3] = {::flock(dir, LOCK_EX), ::flock(settings, LOCK_EX), 0};
    result[2] = ::openat(dir, ".settings.lock", O_RDONLY) < 0 ? errno : 0;
    char wait_for_parent = 0;
    const bool told_parent = ::write(told[1], result, sizeof result) == sizeof result;
    // Returns when the parent closes its end.
    ::_exit(told_parent && ::read(go_on[0], &wait_for_parent, 1) >= 0 ? 0 : 1);
  }
  ::close(go_on[0]);
  ::close(told[1]);
  int result[3] = {-1, -1, -1};
  ASSERT_EQ(::read(told[0], result, sizeof result), static_cast<ssize_t>(sizeof result));
  EXPECT_EQ(result[0], 0);
  EXPECT_EQ(result[1], 0);
  EXPECT_EQ(result[2], EACCES) << "nobody could open the lock file";
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(root.run_text("ospf", "text"), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(root.settings_content(), after);
  ::close(go_on[1]);
  EXPECT_EQ(wait_exit_status(other), 0);
  ::close(told[0]);
}

TEST_F(hostile, ALockFileThatAnyoneCouldOpenIsRefusedAndKept) {
  const log_listener listener(root.dir / "log.sock");
  root.make_lock_file();
  fs::permissions(root.lock_file(), fs::perms::others_read, fs::perm_options::add);
  expect_clean_failure(root, root.run_text("ospf", "text"));
  EXPECT_NE(last_log(listener).find("is not a regular file of root's"), std::string::npos);
  EXPECT_EQ(fs::status(root.lock_file()).permissions() & fs::perms::others_read,
            fs::perms::others_read);

  fs::permissions(root.lock_file(), fs::perms::others_read, fs::perm_options::remove);
  ASSERT_EQ(::chown(root.lock_file().c_str(), 65534, 65534), 0);
  expect_clean_failure(root, root.run_text("ospf", "text"));

  // A link there is not followed.
  fs::remove(root.lock_file());
  write_file(root.dir / "opt/elsewhere", "keep");
  fs::create_symlink("/opt/elsewhere", root.lock_file());
  EXPECT_EQ(root.run_text("ospf", "text"), 2);
  EXPECT_EQ(read_file(root.dir / "opt/elsewhere"), "keep");
  EXPECT_EQ(root.settings_content(), before);
}

TEST_F(hostile, AccessAclAndUserAttributesAreKeptAndNoneIsGained) {
  if (!have_setfacl()) {
    GTEST_SKIP() << "setfacl (package acl) is not installed";
  }
  if (std::system(("setfacl -m u:65534:r " + root.settings().string()).c_str()) != 0) {
    GTEST_SKIP() << "no ACL support on the filesystem of " << root.dir.path;
  }
  ASSERT_EQ(::setxattr(root.settings().c_str(), "user.origin", "factory", 7, 0), 0);
  const std::string acl = acl_of(root.settings());
  ASSERT_FALSE(acl.empty());
  const auto mode = fs::status(root.settings()).permissions();
  EXPECT_EQ(root.run_text("ospf", "text"), 0);
  EXPECT_EQ(root.settings_content(), after);
  EXPECT_EQ(acl_of(root.settings()), acl);
  EXPECT_EQ(fs::status(root.settings()).permissions(), mode);
  char origin[16] = {};
  EXPECT_EQ(::getxattr(root.settings().c_str(), "user.origin", origin, sizeof origin), 7);
  EXPECT_STREQ(origin, "factory");

  // A default ACL on the directory gives the file none it did not have.
  ASSERT_EQ(std::system(("setfacl -b " + root.settings().string()).c_str()), 0);
  ASSERT_EQ(std::system(("setfacl -d -m u:65534:rw " + root.etc().string()).c_str()), 0);
  ASSERT_EQ(::chmod(root.settings().c_str(), 0640), 0);
  EXPECT_EQ(root.run_text("ospf", "again"), 0);
  EXPECT_EQ(acl_of(root.settings()), "");
  EXPECT_EQ(fs::status(root.settings()).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}
