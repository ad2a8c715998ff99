// Other users of the router against a store: nobody (uid 65534) racing for
// the new settings file and squatting the working-copy path, and the layouts
// a device may have (a read-only settings directory, a /tmp without the
// sticky bit). Each racer runs as a process of nobody's, given descriptors
// of the directories it races in by root first, so that it does not depend
// on the scratch directory's own path being open to everyone.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view before = ospf_settings_before;
const std::string after(ospf_settings_after);
constexpr uid_t nobody = 65534;

bool have(const char* command) {
  return std::system(("command -v " + std::string(command) + " >/dev/null 2>&1").c_str()) == 0;
}

void run_shell(const std::string& command) {
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// What a racer did, in memory shared with the test.
struct race_counts {
  std::atomic<long> tries{0};   // attempts the racer made
  std::atomic<long> won{0};     // attempts that got what they must not
  std::atomic<long> placed{0};  // squatters' entries made at the path
};

// A process of nobody's that runs body(dir) until it is stopped; dir is a
// descriptor of the directory, opened by root.
struct racer {
  race_counts* counts = nullptr;
  pid_t pid = -1;

  racer(const fs::path& dir, const std::function<void(int dir, race_counts&)>& body) {
    void* shared = ::mmap(nullptr, sizeof(race_counts), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    counts = new (shared) race_counts;
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    pid = ::fork();
    if (pid == 0) {
      if (dir_fd < 0 || ::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 ||
          ::setuid(nobody) != 0) {
        ::_exit(1);
      }
      body(dir_fd, *counts);
      ::_exit(0);
    }
    ::close(dir_fd);
  }
  racer(const racer&) = delete;
  racer& operator=(const racer&) = delete;
  ~racer() {
    ::kill(pid, SIGKILL);
    wait_exit_status(pid);
    ::munmap(counts, sizeof(race_counts));
  }
};

// The new settings file is created under a name of its own beside the
// settings: watch the directory and try to open each such file, in each
// mode the old file does not grant nobody, until the name is gone.
void open_each_new_file(int dir, race_counts& counts, int watch, const std::vector<int>& modes) {
  alignas(inotify_event) char events[4096];
  for (;;) {
    const ssize_t got = ::read(watch, events, sizeof events);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->len == 0 || !std::string_view(event->name).starts_with(".settings.tal-setconf-")) {
        continue;
      }
      for (bool there = true; there;) {
        for (const int mode : modes) {
          ++counts.tries;
          const int fd = ::openat(dir, event->name, mode | O_CLOEXEC | O_NOFOLLOW);
          if (fd >= 0) {
            ++counts.won;
            ::close(fd);
          } else if (errno == ENOENT) {
            there = false;
          }
        }
      }
    }
  }
}

struct race_result {
  int stores = 0;  // made in the time
  int fails = 0;   // that did not exit 0
  int bad = 0;     // that left the settings neither old nor new
};

struct other_users : ospf_root_test {
  // Stores one after another for race_time in one sandbox, each from the
  // settings before.
  race_result stores(const std::string& cp) const {
    write_file(root.dir / "opt/before", before);
    write_file(root.dir / "opt/after", after);
    const std::string loop =
        "n=0; fails=0; bad=0; end=$(($(date +%s) + " + std::to_string(race_time.count()) +
        "))\n"
        "while [ \"$(date +%s)\" -lt $end ]; do\n"
        "  cat /opt/before > /opt/tal/etc/settings\n"
        "  \"$@\" || fails=$((fails + 1))\n"
        "  cmp -s /opt/tal/etc/settings /opt/before || cmp -s /opt/tal/etc/settings /opt/after ||"
        " bad=$((bad + 1))\n"
        "  n=$((n + 1))\n"
        "done\n"
        "echo \"$n $fails $bad\" > results";
    sandbox_env env{{std::string(shell_wrapper), loop}};
    if (!cp.empty()) {
      env.emplace_back("SANDBOX_CP", cp);
    }
    EXPECT_EQ(root.run("ospf", {root.input("text")}, env), 0);
    race_result result{-1, -1, -1};
    std::istringstream(read_file(root.dir / "results")) >> result.stores >> result.fails >>
        result.bad;
    EXPECT_GE(result.stores, race_least_rounds) << "too few stores to have raced";
    return result;
  }
  std::string truncating_cp() const { return root.script("cp-truncating", "cat \"$1\" > \"$2\""); }
  // As BusyBox's cp in its default build: an exclusive create, and when that
  // fails, unlink and create anew, exclusively again.
  std::string recreating_cp() const {
    return root.script("cp-recreating",
                       "set -C\ncat \"$1\" 2>/dev/null > \"$2\" && exit 0\n"
                       "rm -f \"$2\" && cat \"$1\" > \"$2\"");
  }
  // Each cp races a file squatter, then a directory squatter, at the copy's
  // path: no store may fail, and the settings stay whole.
  void race_squatters(const std::string& cp, std::string_view name) const;
};

void squat_files(int dir, race_counts& counts) {
  for (;;) {
    ++counts.tries;
    const int fd =
        ::openat(dir, "settings.module.tal", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ++counts.placed;
      ::close(fd);
    }
  }
}

void squat_directories(int dir, race_counts& counts) {
  for (;;) {
    ++counts.tries;
    counts.placed += ::mkdirat(dir, "settings.module.tal", 0755) == 0;
  }
}

}  // namespace

TEST_F(other_users, NoOneElseCanOpenTheNewFileBeforeItIsInPlace) {
  if (!have("strace") || !have("setfacl")) {
    GTEST_SKIP() << "needs strace (package strace) to hold each step, and setfacl (package acl)";
  }
  if (std::system(("setfacl -m u:4242:r " + root.settings().string()).c_str()) != 0) {
    GTEST_SKIP() << "no ACL support on the filesystem of " << root.dir.path;
  }
  // Each change of the new file's permissions held for 50 ms, so that every
  // state between them lasts long enough to be raced. LeakSanitizer cannot
  // work under a tracer: a sanitized build checks leaks elsewhere.
  const sandbox_env held{
      {std::string(shell_wrapper),
       "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" exec strace -f "
       "-qq -o /dev/null -e "
       "inject=fchmod,fchown,fsetxattr,fremovexattr:delay_enter=50000 \"$@\""}};
  struct layout {
    const char* name;
    std::string setup;
    std::vector<int> denied;  // what the old file does not grant nobody
  };
  const std::string settings = root.settings().string();
  const std::string etc = root.etc().string();
  const std::vector<layout> layouts{
      {"group nogroup barred by the file's ACL",
       "chown 0:65534 " + settings + " && chmod 0660 " + settings +
           " && setfacl -m u:4242:rw,g::---,m::rw " + settings,
       {O_RDWR, O_RDONLY}},
      {"nobody given rw by the directory's default ACL, settings 0664",
       "setfacl -b " + settings + " && chown 0:0 " + settings + " && chmod 0664 " + settings +
           " && setfacl -d -m u:65534:rw " + etc,
       {O_RDWR, O_WRONLY}},
      {"nobody given r by the directory's default ACL, settings 0640",
       "setfacl -b " + settings + " && chown 0:0 " + settings + " && chmod 0640 " + settings +
           " && setfacl -k " + etc + " && setfacl -d -m u:65534:r " + etc,
       {O_RDWR, O_RDONLY}},
  };
  for (const auto& l : layouts) {
    SCOPED_TRACE(l.name);
    run_shell(l.setup);
    const auto mode_before = fs::status(root.settings()).permissions();
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(watch, root.etc().c_str(), IN_CREATE), 0);
    const racer r(root.etc(), [&](int dir, race_counts& counts) {
      open_each_new_file(dir, counts, watch, l.denied);
    });
    ::close(watch);
    // A third of the race's time each, every store held long at each step.
    const int stores = race_rounds(race_time / 3, [&] {
      root.set_settings(before);
      ASSERT_EQ(root.run("ospf", {root.input("text")}, held), 0);
      ASSERT_EQ(root.settings_content(), after);
    });
    EXPECT_GE(stores, 1);
    std::cout << l.name << ": " << stores << " stores, " << r.counts->tries.load() << " opens\n";
    EXPECT_EQ(fs::status(root.settings()).permissions(), mode_before);
    EXPECT_GT(r.counts->tries.load(), 0) << "the racer never saw a new file";
    EXPECT_EQ(r.counts->won.load(), 0) << "of " << r.counts->tries.load() << " opens";
  }
}

void other_users::race_squatters(const std::string& cp, std::string_view name) const {
  for (const bool directories : {false, true}) {
    SCOPED_TRACE(directories ? "directory squatter" : "file squatter");
    const racer squatter(root.dir / "tmp", directories ? squat_directories : squat_files);
    const race_result result = stores(cp);
    EXPECT_EQ(result.bad, 0);
    EXPECT_EQ(result.fails, 0);
    EXPECT_GT(squatter.counts->placed.load(), 0) << "the squatter never got in";
    std::cout << name << " against a " << (directories ? "directory" : "file")
              << " squatter: " << result.fails << " of " << result.stores << " stores failed; "
              << squatter.counts->placed.load() << " entries squatted\n";
  }
}

TEST_F(other_users, SquattersAtTheWorkingCopyPathCannotBlockStores) {
  race_squatters(truncating_cp(), "truncating cp");
}

TEST_F(other_users, ACopyThatRecreatesItsDestinationAgainstSquatters) {
  // Such a cp unlinks the file there and creates its own, exclusively: at a
  // path others can reach, the squatter can win in between, and cp fails.
  race_squatters(recreating_cp(), "recreating cp");
}

TEST_F(other_users, CpsHabitsReachNoOtherUser) {
  // A cp that unlinks its destination and recreates it following links, as
  // some builds do, against a squatter that keeps a link there to a file of
  // root's; and a cp that leaves its copy 0644, against a reader that opens
  // the path in a loop. (This counts only where the kernel's
  // fs.protected_symlinks and protected_regular are 0, as on a router booted
  // without a distribution's sysctl defaults.)
  write_file(root.dir / "opt/victim", "precious\n");
  ::chmod((root.dir / "opt/victim").c_str(), 0600);
  const racer linker(root.dir / "tmp", [](int dir, race_counts& counts) {
    for (;;) {
      ++counts.tries;
      counts.placed += ::symlinkat("/opt/victim", dir, "settings.module.tal") == 0;
    }
  });
  race_result result = stores(root.script("cp-following", "rm -f \"$2\"; cat \"$1\" > \"$2\""));
  EXPECT_EQ(result.fails, 0);
  EXPECT_EQ(result.bad, 0);
  EXPECT_EQ(read_file(root.dir / "opt/victim"), "precious\n");
  EXPECT_GT(linker.counts->placed.load(), 0) << "the squatter never got in";
  std::cout << "following cp against a link squatter: " << result.fails << " of " << result.stores
            << " stores failed\n";

  const racer reader(root.dir / "tmp", [](int dir, race_counts& counts) {
    char block[64];
    for (;;) {
      ++counts.tries;
      const int fd = ::openat(dir, "settings.module.tal", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        counts.won += ::read(fd, block, sizeof block) > 0;
        ::close(fd);
      }
    }
  });
  result = stores(root.script("cp-0644", "cat \"$1\" > \"$2\"; chmod 0644 \"$2\""));
  EXPECT_EQ(result.fails, 0);
  EXPECT_EQ(reader.counts->won.load(), 0) << "reads of the settings by another user";
  std::cout << "0644 cp against a reader: " << reader.counts->won.load() << " reads in "
            << result.stores << " stores\n";
}

TEST_F(other_users, ReadOnlySettingsDirectoryWithTheFileInWritableStorage) {
  // The settings path a link from a read-only directory into storage.
  fs::create_directories(root.dir / "opt/data");
  fs::rename(root.settings(), root.dir / "opt/data/settings");
  fs::create_symlink("/opt/data/settings", root.settings());
  EXPECT_EQ(root.run("ospf", {root.input("text")}, {{"SANDBOX_ETC", "ro"}}), 0);
  EXPECT_EQ(read_file(root.dir / "opt/data/settings"), after);
  EXPECT_EQ(dir_names(root.dir / "opt/data"),
            (std::vector<std::string>{".settings.lock", "settings"}));
  EXPECT_EQ(dir_names(root.etc()), std::vector<std::string>{"settings"});

  // A link into /tmp, which cp would not find in a /tmp of its own: it
  // copies on the host's, and the log line says so.
  const log_listener listener(root.dir / "log.sock");
  write_file(root.dir / "tmp/settings", before);
  fs::remove(root.settings());
  fs::create_symlink("/tmp/settings", root.settings());
  EXPECT_EQ(root.run("ospf", {root.input("text")}), 0);
  EXPECT_EQ(read_file(root.dir / "tmp/settings"), after);
  const auto messages = listener.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_NE(
      messages[0].find("; /bin/cp ran without a private /tmp: the settings file lies under it"),
      std::string::npos)
      << messages[0];
}

TEST_F(other_users, TheLockFollowsTheLinkAndTheEarlierVersionsLockIsHeldToo) {
  for (const char* dir : {"opt/a", "opt/b"}) {
    fs::create_directories(root.dir / dir);
    write_file(root.dir / dir / "settings", before);
  }
  fs::remove(root.settings());
  fs::create_symlink("/opt/a/settings", root.settings());
  ASSERT_EQ(root.run_text("bgp", "first"), 0);  // makes /opt/a/.settings.lock
  write_file(root.dir / "opt/a/settings", before);

  // A run that waits on a's lock while the link is re-pointed to b stores
  // into b, under b's lock, and leaves a alone.
  const int lock_a = ::open((root.dir / "opt/a/.settings.lock").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(lock_a, LOCK_EX), 0);
  const pid_t run = root.start("ospf", {root.input("text")});
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  fs::create_symlink("/opt/b/settings", root.dir / "opt/tal/etc/settings.new");
  fs::rename(root.dir / "opt/tal/etc/settings.new", root.settings());
  ::close(lock_a);
  EXPECT_EQ(wait_exit_status_within(run, 30), 0);
  EXPECT_EQ(read_file(root.dir / "opt/a/settings"), before);
  EXPECT_EQ(read_file(root.dir / "opt/b/settings"), after);
  EXPECT_TRUE(fs::exists(root.dir / "opt/b/.settings.lock"));

  // A lock file where an earlier version kept it is taken as well, never made.
  EXPECT_FALSE(fs::exists(root.lock_file()));
  root.make_lock_file();
  write_file(root.dir / "opt/b/settings", before);
  const int legacy = ::open(root.lock_file().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(legacy, LOCK_EX), 0);
  const pid_t waiting = root.start("ospf", {root.input("text")});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(read_file(root.dir / "opt/b/settings"), before) << "ran beside an earlier version";
  ::close(legacy);
  EXPECT_EQ(wait_exit_status_within(waiting, 30), 0);
  EXPECT_EQ(read_file(root.dir / "opt/b/settings"), after);
}

TEST_F(other_users, ATmpOpenToEveryoneWithoutTheStickyBitIsRefused) {
  const log_listener listener(root.dir / "log.sock");
  fs::permissions(root.dir / "tmp", fs::perms::all);
  EXPECT_EQ(root.run_text("ospf", "text"), 2);
  EXPECT_EQ(root.settings_content(), before);
  EXPECT_TRUE(dir_names(root.dir / "tmp").empty());
  const auto messages = listener.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_NE(messages[0].find("/tmp is writable by every user and has no sticky bit"),
            std::string::npos)
      << messages[0];
}

TEST_F(other_users, LossesAreWarnings) {
  const log_listener listener(root.dir / "log.sock");
  // A second name of the settings file keeps the old content.
  ASSERT_EQ(::link(root.settings().c_str(), (root.dir / "opt/settings.backup").c_str()), 0);
  EXPECT_EQ(root.run_text("ospf", "text"), 0);
  EXPECT_EQ(root.settings_content(), after);
  EXPECT_EQ(read_file(root.dir / "opt/settings.backup"), before);
  auto messages = listener.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_NE(messages[0].find("<12>"), std::string::npos) << messages[0];
  EXPECT_NE(messages[0].find("/opt/tal/etc/settings has 2 hard links; its other names keep the "
                             "old content"),
            std::string::npos)
      << messages[0];

  // An ACL on a filesystem mounted without ACL support.
  if (!have("mkfs.btrfs") || !have("setfacl")) {
    GTEST_SKIP() << "needs mkfs.btrfs (package btrfs-progs) and setfacl (package acl)";
  }
  const std::string image = (root.dir / "etc.img").string();
  const std::string mnt = (root.dir / "mnt").string();
  fs::create_directories(mnt);
  write_file(root.dir / "seed", before);
  run_shell("truncate -s 128M " + image + " && mkfs.btrfs -q " + image + " >/dev/null");
  run_shell("unshare -m sh -ec 'mount -o loop " + image + " " + mnt + "; cp " +
            (root.dir / "seed").string() + " " + mnt + "/settings; setfacl -m u:4242:r " + mnt +
            "/settings; umount " + mnt + "'");
  EXPECT_EQ(root.run("ospf", {root.input("text")},
                     {{"SANDBOX_ETC_IMAGE", "etc.img"},
                      {"SANDBOX_ETC_IMAGE_OPTIONS", "noacl"},
                      {std::string(shell_wrapper),
                       "\"$@\"; status=$?; cat /opt/tal/etc/settings > settings-after; "
                       "stat -c %a /opt/tal/etc/settings > mode-after; exit $status"}}),
            0);
  EXPECT_EQ(read_file(root.dir / "settings-after"), after);
  EXPECT_EQ(read_file(root.dir / "mode-after"), "644\n");
  messages = listener.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_NE(messages[0].find("<12>"), std::string::npos) << messages[0];
  EXPECT_NE(messages[0].find("dropped system.posix_acl_access of the settings file: Operation "
                             "not supported"),
            std::string::npos)
      << messages[0];
}
