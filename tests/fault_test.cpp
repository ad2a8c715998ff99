// Failures and hostile surroundings: every run either stores the section or
// leaves the settings file byte-identical, with nothing new beside it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>

#include "e2e_support.h"
#include "settings/base64.h"
#include "sys/file_handle.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view before = ospf_settings_before;
const std::string after(ospf_settings_after);

struct fault : ospf_root_test {
  // A stand-in for /bin/cp, as a shell script in the root.
  std::string fake_cp(std::string_view body) const { return root.script("fake-cp", body); }
};

// Whether pid names a process that has not ended: a zombie is waiting only
// to be reaped. Its parent reaps it at once, so it is given a moment.
bool process_lives(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto state = stat.rfind(") ");
    if (stat.empty() || (state != std::string::npos && stat[state + 2] == 'Z')) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Settings of about size bytes, none of them the ospf section's.
std::string big_settings(std::size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i) {
    text += "MOD_TAL_BGP_NEIGHBOR" + std::to_string(i) + "=\"10.0." + std::to_string(i % 250) +
            ".1 remote-as 65000\"\n";
  }
  return text;
}

}  // namespace

TEST_F(fault, CopyProgramFailsOrCheats) {
  const std::string in = root.input("text");
  // cp fails at once, or once the store's own work is done: the new file is
  // made, synced and then removed.
  for (const char* fails : {"exit 1", "cat \"$1\" > \"$2\"; sleep 0.3; exit 1"}) {
    expect_clean_failure(root, root.run("ospf", {in}, {{"SANDBOX_CP", fake_cp(fails)}}));
  }
  // cp's status decides; what it left in /tmp is never read, so a copy that
  // is short, one byte wrong or has a second name changes nothing of what is
  // stored. A copy that is not root's regular file is no copy. Nothing of
  // what cp made stays in /tmp: it made it in a directory of the run's.
  const std::vector<std::pair<std::string, int>> cheats{
      {"head -c 5 \"$1\" > \"$2\"", 0},
      {"tr B C < \"$1\" > \"$2\"", 0},
      {"cat \"$1\" > \"$2\"; ln \"$2\" \"$2.x\"", 0},
      {"rm -f \"$2\"; cat \"$1\" > \"$2\"; chown 65534:65534 \"$2\"", 2},
      {"rm -f \"$2\"; ln -s /opt/tal/etc/settings \"$2\"", 2},
  };
  for (const auto& [cheat, status] : cheats) {
    SCOPED_TRACE(cheat);
    root.set_settings(before);
    EXPECT_EQ(root.run("ospf", {in}, {{"SANDBOX_CP", fake_cp(cheat)}}), status);
    EXPECT_EQ(root.settings_content(), status == 0 ? after : std::string(before));
    EXPECT_EQ(dir_names(root.etc()), device_root::settings_dir_after_run());
    EXPECT_TRUE(dir_names(root.dir / "tmp").empty());
  }
}

TEST_F(fault, ACopyProgramThatRecreatesItsDestinationWorks) {
  // As BusyBox's cp in its default build: an exclusive create, and when that
  // fails, unlink and create anew. It creates the copy with the caller's
  // umask, which for cp leaves no group or other permission.
  EXPECT_EQ(root.run("ospf", {root.input("text")},
                     {{"SANDBOX_CP", fake_cp("set -C; cat \"$1\" 2>/dev/null > \"$2\" || "
                                             "{ rm -f \"$2\" && cat \"$1\" > \"$2\"; }; "
                                             "stat -c %a \"$2\" > created-mode")},
                      {std::string(shell_wrapper), "umask 022; exec \"$@\""}}),
            0);
  EXPECT_EQ(read_file(root.dir / "created-mode"), "600\n");
  EXPECT_EQ(root.settings_content(), after);
  EXPECT_TRUE(dir_names(root.dir / "tmp").empty());
  EXPECT_EQ(root.outputs(), "");
}

TEST_F(fault, NoSettingsFileIsCreated) {
  fs::remove(root.settings());
  EXPECT_EQ(root.run_text("ospf", "text"), 2);
  EXPECT_TRUE(dir_names(root.etc()).empty());
  EXPECT_TRUE(dir_names(root.dir / "tmp").empty());
  // Nor a settings directory.
  fs::remove_all(root.etc());
  EXPECT_EQ(root.run_text("ospf", "text"), 2);
  EXPECT_FALSE(fs::exists(root.etc()));
}

TEST_F(fault, UnreadableSettingsAreNotResetToDefaults) {
  fs::remove(root.settings());
  fs::create_directory(root.settings());
  EXPECT_EQ(root.run_text("ospf", "text"), 2);
  EXPECT_TRUE(fs::is_directory(root.settings()));
}

TEST_F(fault, TmpFull) {
  root.set_settings(big_settings(200000));
  const log_listener listener(root.dir / "log.sock");
  EXPECT_EQ(root.run("ospf", {root.input("text")}, {{"SANDBOX_TMP_SIZE", "64k"}}), 2);
  EXPECT_EQ(root.settings_content(), big_settings(200000));
  EXPECT_EQ(dir_names(root.etc()), device_root::settings_dir_after_run());
  const auto messages = listener.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_NE(
      messages[0].find("/bin/cp exited with status 1 (/tmp has 0 bytes free; the copy needs " +
                       std::to_string(big_settings(200000).size()) + ")"),
      std::string::npos)
      << messages[0];
}

TEST_F(fault, ReadOnlySettingsDirectory) {
  root.make_lock_file();
  expect_clean_failure(root, root.run("ospf", {root.input("text")}, {{"SANDBOX_ETC", "ro"}}));
}

TEST_F(fault, DiskFullWhileWritingTheNewFile) {
  // The file fits once on the filesystem, not twice. cp, still at work
  // meanwhile, fails too: the run's own reason is the one told.
  const std::string settings = big_settings(600000);
  root.set_settings(settings);
  const log_listener listener(root.dir / "log.sock");
  EXPECT_EQ(root.run("ospf", {root.input("text")},
                     {{"SANDBOX_OPT_SIZE", "1m"},
                      {"SANDBOX_CP", fake_cp("cat \"$1\" > \"$2\"; sleep 0.3; exit 1")}}),
            2);
  EXPECT_EQ(read_file(root.dir / "opt-after/settings"), settings);
  EXPECT_EQ(dir_names(root.dir / "opt-after"), device_root::settings_dir_after_run());
  const auto messages = listener.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_NE(messages[0].find(": No space left on device"), std::string::npos) << messages[0];
}

TEST_F(fault, PlantedFilesAtTheWorkingCopyPath) {
  const std::string in = root.input("text");
  // A link to a file the tool must never write: it stays as it was.
  write_file(root.dir / "opt/victim", "precious\n");
  fs::create_symlink("/opt/victim", root.working_copy());
  EXPECT_EQ(root.run("ospf", {in}), 0);
  EXPECT_EQ(read_file(root.dir / "opt/victim"), "precious\n");
  EXPECT_EQ(root.settings_content(), after);

  // A FIFO must not make the run hang.
  ASSERT_EQ(::mkfifo(root.working_copy().c_str(), 0666), 0);
  EXPECT_EQ(root.run("ospf", {in}), 0);
  EXPECT_EQ(root.settings_content(), after);

  // Another user's file with forged lines is not read as the copy.
  write_file(root.working_copy(), "MOD_TAL_OSPF_ENABLED=0\nEVIL=1\n");
  ASSERT_EQ(::chown(root.working_copy().c_str(), 1234, 1234), 0);
  EXPECT_EQ(root.run("ospf", {in}), 0);
  EXPECT_EQ(root.settings_content(), after);
  EXPECT_TRUE(dir_names(root.dir / "tmp").empty());

  // Another user's directory is not removed, but moved aside within /tmp.
  fs::create_directories(root.working_copy() / "inside");
  ASSERT_EQ(::chown(root.working_copy().c_str(), 65534, 65534), 0);
  root.set_settings(before);
  EXPECT_EQ(root.run("ospf", {in}), 0);
  EXPECT_EQ(root.settings_content(), after);
  const auto left = dir_names(root.dir / "tmp");
  ASSERT_EQ(left.size(), 1U);
  EXPECT_TRUE(left[0].starts_with("settings.module.tal.")) << left[0];
  EXPECT_TRUE(fs::is_directory(root.dir / "tmp" / left[0] / "inside"));
}

TEST_F(fault, LeftoversOfKilledRunsAreRemoved) {
  // cp's private directory, with what it made; another user's look-alike stays.
  for (const char* dir :
       {"tmp/settings.module.tal.cp-Ab12Cd", "tmp/settings.module.tal.cp-Us3r00"}) {
    fs::create_directories(root.dir / dir / "sub");
    write_file(root.dir / dir / "settings.module.tal", "half");
    fs::permissions(root.dir / dir, fs::perms::owner_all);
  }
  ASSERT_EQ(::chown((root.dir / "tmp/settings.module.tal.cp-Us3r00").c_str(), 1234, 1234), 0);
  write_file(root.etc() / ".settings.tal-setconf-Ab12Cd", "half");
  write_file(root.etc() / ".settings.tal-setconf-Xy34Zw", "half");
  write_file(root.etc() / "settings.keep", "not ours");
  // Named like a leftover, but another user's: not the run's to remove.
  write_file(root.etc() / ".settings.tal-setconf-Us3r00", "theirs");
  ASSERT_EQ(::chown((root.etc() / ".settings.tal-setconf-Us3r00").c_str(), 1234, 1234), 0);
  EXPECT_EQ(root.run_text("ospf", "text"), 0);
  EXPECT_EQ(dir_names(root.etc()),
            (std::vector<std::string>{".settings.lock", ".settings.tal-setconf-Us3r00", "settings",
                                      "settings.keep"}));
  EXPECT_EQ(dir_names(root.dir / "tmp"), std::vector<std::string>{"settings.module.tal.cp-Us3r00"});
}

TEST_F(fault, AHashToolStartedBeforeTheRunIsKilledFinishes) {
  // The new content is committed when the hash tool starts: killing the run
  // must not take the hash's refresh with it.
  root.script("sbin/hash_generate", "touch /opt/hash-started; sleep 0.3; touch /opt/hash-done");
  const pid_t run = root.start("ospf", {root.input("text")});
  for (int i = 0; i < 1000 && !fs::exists(root.dir / "opt/hash-started"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(run, SIGKILL);
  EXPECT_EQ(wait_exit_status(run), 128 + SIGKILL);
  for (int i = 0; i < 200 && !fs::exists(root.dir / "opt/hash-done"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(fs::exists(root.dir / "opt/hash-done"));
  EXPECT_EQ(root.settings_content(), after);
}

TEST_F(fault, RunWaitsForTheLock) {
  ASSERT_EQ(root.run_text("ospf", "first"), 0);  // makes the lock file
  root.set_settings(before);
  const unique_fd dir(::open(root.lock_file().c_str(), O_RDONLY));
  ASSERT_EQ(::flock(dir.get(), LOCK_EX), 0);
  const pid_t run = root.start("ospf", {root.input("text")});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int status = 0;
  EXPECT_EQ(::waitpid(run, &status, WNOHANG), 0) << "the run did not wait for the lock";
  EXPECT_EQ(root.settings_content(), before);
  ASSERT_EQ(::flock(dir.get(), LOCK_UN), 0);
  EXPECT_EQ(wait_exit_status(run), 0);
  EXPECT_EQ(root.settings_content(), after);
}

TEST_F(fault, KilledAtAnyInstantLeavesOldOrNew) {
  const std::string old_content = big_settings(4 << 20);
  const std::string new_content =
      old_content + "MOD_TAL_OSPF_ENABLED=0\nMOD_TAL_OSPF_CONF=" + base64_encode_alloc("text") +
      "\n";
  const std::string in = root.input("text");
  root.set_settings(old_content);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(root.run("ospf", {in}), 0);
  const auto full_run = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(root.settings_content(), new_content);

  std::mt19937 random(20261207);
  std::uniform_int_distribution<long> instant(
      0, std::chrono::duration_cast<std::chrono::microseconds>(full_run).count());
  int killed_mid_run = 0;
  const int rounds = race_rounds(race_time, [&] {
    root.set_settings(old_content);
    const pid_t run = root.start("ospf", {in});
    std::this_thread::sleep_for(std::chrono::microseconds(instant(random)));
    ::kill(run, SIGKILL);
    killed_mid_run += wait_exit_status(run) == 128 + SIGKILL;
    const std::string content = root.settings_content();
    ASSERT_TRUE(content == old_content || content == new_content) << content.size() << " bytes";
    // The next run finishes the job and clears what the killed one left.
    ASSERT_EQ(root.run("ospf", {in}), 0);
    ASSERT_EQ(root.settings_content(), new_content);
    ASSERT_EQ(dir_names(root.etc()), device_root::settings_dir_after_run());
  });
  EXPECT_GE(rounds, race_least_rounds);
  EXPECT_GT(killed_mid_run, 0);
  std::cout << rounds << " rounds, " << killed_mid_run << " killed mid-run\n";
}

TEST_F(fault, FileSeenWhileARunIsStoppedIsAlwaysWhole) {
  const std::string old_content = big_settings(4 << 20);
  const std::string in = root.input("text");
  root.set_settings(old_content);
  const std::string new_content =
      old_content + "MOD_TAL_OSPF_ENABLED=0\nMOD_TAL_OSPF_CONF=dGV4dA==\n";
  int looks = 0;
  const int rounds = race_rounds(race_time, [&] {
    root.set_settings(old_content);
    const pid_t run = root.start("ospf", {in});
    for (int status = 0; ::waitpid(run, &status, WNOHANG) == 0; ++looks) {
      ::kill(run, SIGSTOP);
      const std::string content = root.settings_content();
      ASSERT_TRUE(content == old_content || content == new_content) << content.size();
      ::kill(run, SIGCONT);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(root.settings_content(), new_content);
  });
  EXPECT_GE(rounds, race_least_rounds);
  EXPECT_GT(looks, rounds);
  std::cout << rounds << " rounds, " << looks << " looks\n";
}

TEST_F(fault, InheritedProcessStateDoesNotBreakARun) {
  const std::string in = root.input("text");
  EXPECT_EQ(root.run("ospf", {in}, {{std::string(inherit_sigchld_ignored), ""}}), 0);
  EXPECT_EQ(root.settings_content(), after);
  root.set_settings(before);
  root.install_hash_probe();
  EXPECT_EQ(root.run("ospf", {in}, {{std::string(inherit_stdio_closed), ""}}), 0);
  EXPECT_EQ(root.settings_content(), after);
  // The hash tool still gets /dev/null on its standard descriptors.
  EXPECT_EQ(read_file(root.hash_tool().string() + ".report"),
            "argc 2\narg /opt/tal/etc/settings\nfd 0 /dev/null\nfd 1 /dev/null\n"
            "fd 2 /dev/null\nworking-copy yes\nsignals default\ngroup own\n");
}

// Faults preloaded into the tool (preload_fault.cpp): only a dynamically
// linked tool without a sanitizer runtime can take them, so this runs in the
// native build only. Each run ends within seconds, says why, and stores or
// leaves the settings as they were.
TEST_F(fault, PreloadedFaultsAreToldAndNeverHoldTheRunUp) {
  if (std::string_view(PRELOAD_FAULT).empty()) {
    GTEST_SKIP() << "the fault is preloaded, which needs a dynamically linked tool without "
                    "a sanitizer runtime";
  }
  struct preloaded {
    std::string fault;
    int status;
    std::string settings;
    std::vector<std::string> says;
    bool directory_at_copy_path = false;
    std::string cp{};  // a stand-in for cp; it may write its group's pids to cp-pids
    fs::perms lock_mode = fs::perms::owner_read | fs::perms::owner_write;
  };
  const std::vector<preloaded> faults{
      // After the rename: in place, hashed, the copy gone; only durability
      // is in doubt.
      {"dir-fsync",
       2,
       after,
       {"<11>tal-setconf-ospf[",
        "section ospf written, but the new settings may not be durable: "
        "syncing directory /opt/tal/etc: Input/output error"}},
      // The exec report pipe stays open: no end of file ever comes on it.
      {"close-pipe-once", 0, after, {"stored section ospf"}},
      // The earlier lock is the same file as the new one; comparing them fails.
      {"lock-fstat",
       2,
       std::string(before),
       {"cannot stat lock file /opt/tal/etc/.settings.lock: Input/output error"}},
      // No exchange: the working copy's path is taken by a plain rename, and
      // a directory there is moved aside first.
      {"renameat2-einval", 0, after, {"stored section ospf"}},
      {"renameat2-einval",
       0,
       after,
       {"moved a directory found at /tmp/settings.module.tal to /tmp/settings.module.tal."},
       true},
      // The commit's own exchange fails: nothing of it may be reported stored.
      {"exchange-eio",
       2,
       std::string(before),
       {"settings not updated: renaming /opt/tal/etc/.settings.tal-setconf-",
        "to /opt/tal/etc/settings: Input/output error"}},
      // The new file cannot be synced, a moment after it was written, while
      // cp and a child of its group still run: neither outlives the run.
      {"file-fsync-eio",
       2,
       std::string(before),
       {"settings not updated: syncing /opt/tal/etc/.settings.tal-setconf-",
        ": Input/output error"},
       false,
       "echo $$ > cp-pids; sleep 30 & echo $! >> cp-pids; wait"},
      // The lock file, there from an earlier run, is also the earlier
      // versions' lock; on vfat its mode is the mount's: told once.
      {"fstatfs-vfat",
       0,
       after,
       {"; lock file /opt/tal/etc/.settings.lock is on a filesystem that gives every file its "
        "mount's mode: other users can open it and hold stores up"},
       false,
       "",
       fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
           fs::perms::others_read},
      // No mount namespace for cp: it copies on the host's /tmp, at a file
      // the run placed there.
      {"unshare-eperm",
       0,
       after,
       {"stored section ospf",
        "; /bin/cp ran without a private /tmp: cannot unshare its mount "
        "namespace: Operation not permitted"}},
      // The kernel cannot copy the plain start: it goes through the tool.
      {"sendfile-einval", 0, after, {"stored section ospf"}},
      // No lease: stored, and the log line says what was not watched.
      {"setlease-einval",
       0,
       after,
       {"stored section ospf",
        "; /opt/tal/etc/settings could not be leased, so a change made to "
        "it in place by a writer that takes no lock would not be seen: "
        "leases are switched off"}},
      // Nor is a change in place while cp runs: the file's size and times
      // tell it, and the store starts over.
      {"setlease-einval",
       0,
       after + "X=1\n",
       {"stored section ospf", "; stored at attempt 2"},
       false,
       "cat \"$1\" > \"$2\"; [ -e once ] || { : > once; echo X=1 >> \"$1\"; }"},
  };
  fs::copy_file(PRELOAD_FAULT, root.dir / "preload_fault.so");
  root.install_hash_probe();
  root.make_lock_file();
  for (const auto& c : faults) {
    SCOPED_TRACE(c.fault);
    root.set_settings(before);
    fs::remove(root.hash_tool().string() + ".saw");
    fs::remove(root.dir / "log.sock");
    fs::remove(root.dir / "fault-fired");
    fs::remove(root.dir / "cp-pids");
    fs::remove(root.dir / "once");
    fs::permissions(root.lock_file(), c.lock_mode);
    if (c.directory_at_copy_path) {
      fs::create_directories(root.working_copy() / "inside");
    }
    const log_listener listener(root.dir / "log.sock");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_exit_status_within(
                  root.start("ospf", {root.input("text")},
                             {{std::string(shell_wrapper),
                               "TAL_FAULT=" + c.fault +
                                   " LD_PRELOAD=\"$PWD/preload_fault.so\" exec \"$@\""},
                              {"SANDBOX_CP", c.cp.empty() ? std::string() : fake_cp(c.cp)}}),
                  60),
              c.status);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_TRUE(fs::exists(root.dir / "fault-fired"));
    EXPECT_EQ(root.settings_content(), c.settings);
    if (c.settings == after) {
      EXPECT_EQ(read_file(root.hash_tool().string() + ".saw"), after);
    }
    const auto left_in_tmp = dir_names(root.dir / "tmp");
    EXPECT_EQ(left_in_tmp.size(), c.directory_at_copy_path ? 1U : 0U);
    for (const auto& name : left_in_tmp) {
      EXPECT_TRUE(fs::is_directory(root.dir / "tmp" / name / "inside")) << name;
      fs::remove_all(root.dir / "tmp" / name);
    }
    EXPECT_EQ(dir_names(root.etc()), device_root::settings_dir_after_run());
    EXPECT_EQ(root.outputs(), "");
    std::istringstream cp_pids(read_file(root.dir / "cp-pids"));
    int pids = 0;
    for (pid_t pid = 0; cp_pids >> pid; ++pids) {
      EXPECT_FALSE(process_lives(pid)) << pid;
    }
    EXPECT_EQ(pids, c.cp.find("cp-pids") == std::string::npos ? 0 : 2);
    const auto messages = listener.messages();
    ASSERT_EQ(messages.size(), 1U);
    for (const auto& text : c.says) {
      const auto at = messages[0].find(text);
      EXPECT_NE(at, std::string::npos) << messages[0];
      EXPECT_EQ(messages[0].find(text, at + 1), std::string::npos) << "told twice: " << messages[0];
    }
  }
}

TEST_F(fault, AWriterThatTakesNoLockIsSeenNotOverwritten) {
  // Another writer changes the settings while cp runs: in place, which waits
  // on the run's lease until the run lets go, or by renaming a changed copy
  // over them, as sed -i does. Its change stays, and the store starts over,
  // with cp run anew: made at every attempt, the change fails the store.
  const std::string writer_in_place =
      "setsid sh -c 'printf X | dd of=\"$1\" conv=notrunc 2>/dev/null; echo >> writer-done' sh "
      "\"$1\" </dev/null >/dev/null 2>&1 &\nsleep 0.5";
  const std::string appended = "sed -i '$a W=1' \"$1\"; echo >> writer-done";
  const struct {
    std::string writer;
    int status;
    std::string settings;
    std::size_t writes;
  } writers[] = {
      {writer_in_place, 2, "X=1\nMOD_TAL_OSPF_ENABLED=1\nB=2\n", 3},
      {appended, 2, std::string(before) + "W=1\nW=1\nW=1\n", 3},
      {"[ -e once ] || { : > once; " + appended + "; }", 0, after + "W=1\n", 1},
  };
  for (const auto& [writer, status, settings, writes] : writers) {
    SCOPED_TRACE(writer);
    root.set_settings(before);
    std::filesystem::remove(root.dir / "writer-done");
    std::filesystem::remove(root.dir / "log.sock");
    const log_listener listener(root.dir / "log.sock");
    EXPECT_EQ(root.run("ospf", {root.input("text")},
                       {{"SANDBOX_CP", fake_cp("cat \"$1\" > \"$2\"; " + writer)}}),
              status);
    for (int i = 0; i < 500 && read_file(root.dir / "writer-done").size() < writes; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(root.settings_content(), settings);
    EXPECT_EQ(dir_names(root.etc()), device_root::settings_dir_after_run());
    const auto messages = listener.messages();
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_NE(
        messages[0].find(status == 0 ? "; stored at attempt 2: another process changed "
                                       "/opt/tal/etc/settings during the earlier ones"
                                     : "settings not updated: /opt/tal/etc/settings was "
                                       "changed by another process during the store, 3 times"),
        std::string::npos)
        << messages[0];
  }
}

TEST_F(fault, AWriterThatHoldsTheFileOpenIsWaitedFor) {
  // It opened the settings for writing before the store, by a descriptor or
  // a shared writable mapping, and changes them half a second into it: the
  // store waits for it to let go, and keeps its change.
  for (const bool mapped : {false, true}) {
    SCOPED_TRACE(mapped ? "mapping" : "descriptor");
    root.set_settings(before);
    unique_fd fd(
        ::open(root.settings().c_str(), (mapped ? O_RDWR : O_WRONLY | O_APPEND) | O_CLOEXEC));
    ASSERT_TRUE(fd);
    void* map =
        mapped ? ::mmap(nullptr, before.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0)
               : nullptr;
    ASSERT_NE(map, MAP_FAILED);
    if (mapped) {
      fd.reset();  // the mapping alone holds it open
    }
    std::thread writer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      if (mapped) {
        static_cast<char*>(map)[2] = '5';  // A=1 becomes A=5
        ::munmap(map, before.size());
      } else {
        EXPECT_EQ(::write(fd.get(), "W=1\n", 4), 4);
        fd.reset();
      }
    });
    const int status = root.run("ospf", {root.input("text")});
    writer.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(root.settings_content(), mapped ? "A=5" + after.substr(3) : after + "W=1\n");
  }
}

TEST_F(fault, AWriterWhoseOpenBreaksTheLeaseGoesOnAtOnce) {
  // cp takes 20 s the first time; the writer's open, which breaks the lease,
  // must not wait for it. The store starts over and keeps the line.
  const pid_t run = root.start(
      "ospf", {root.input("text")},
      {{"SANDBOX_CP", fake_cp("cat \"$1\" > \"$2\"; [ -e slow-once ] && exit 0; : > slow-once; "
                              "sleep 20")}});
  for (int i = 0; i < 1000 && !fs::exists(root.dir / "slow-once"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto opening = std::chrono::steady_clock::now();
  unique_fd fd(::open(root.settings().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  EXPECT_LT(std::chrono::steady_clock::now() - opening, std::chrono::seconds(1));
  ASSERT_TRUE(fd);
  ASSERT_EQ(::write(fd.get(), "W=1\n", 4), 4);
  fd.reset();
  EXPECT_EQ(wait_exit_status_within(run, 15), 0);
  EXPECT_EQ(root.settings_content(), after + "W=1\n");
}

TEST_F(fault, ACopyProgramOfAKilledRunCannotCutTheNextRunsCopy) {
  // The first run is killed while its cp runs. The death signal ends cp, but
  // not the child it left in its group, which cuts the copy's path later:
  // while the next run's slow cp is still writing it.
  const std::string killed_cp = root.script(
      "killed-cp",
      "(i=0; while [ ! -e cp-writing ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i + 1)); done\n"
      " echo CUT > \"$2\"; touch cut) &\n"
      "touch cp-started; sleep 5");
  const std::string slow_cp = fake_cp(
      "{ head -c 100000 \"$1\"; touch cp-writing; while [ ! -e cut ]; do sleep 0.01; done\n"
      "  tail -c +100001 \"$1\"; } > \"$2\"");
  const std::string old_content = big_settings(4 << 20);
  const std::string new_content =
      old_content + "MOD_TAL_OSPF_ENABLED=0\nMOD_TAL_OSPF_CONF=dGV4dA==\n";
  const std::string in = root.input("text");
  for (int round = 0; round < 3; ++round) {
    root.set_settings(old_content);
    for (const char* mark : {"cp-started", "cp-writing", "cut"}) {
      std::filesystem::remove(root.dir / mark);
    }
    const pid_t killed = root.start("ospf", {in}, {{"SANDBOX_CP", killed_cp}});
    for (int i = 0; i < 1000 && !std::filesystem::exists(root.dir / "cp-started"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(killed, SIGKILL);
    wait_exit_status(killed);
    ASSERT_EQ(root.run("ospf", {in}, {{"SANDBOX_CP", slow_cp}}), 0) << "round " << round;
    const std::string content = root.settings_content();
    ASSERT_TRUE(content == new_content)
        << "round " << round << ": " << content.size() << " bytes, " << content.substr(0, 8);
  }
}

TEST_F(fault, AWriterOutsideCpsGroupCannotChangeWhatIsRead) {
  // cp starts a writer in a session of its own, out of the run's reach: it
  // holds the copy open as cp exits, or changes it again and again. The copy
  // is never read: the run stores the settings file's own lines.
  const std::string old_content = big_settings(4 << 20);
  const std::string new_content =
      old_content + "MOD_TAL_OSPF_ENABLED=0\nMOD_TAL_OSPF_CONF=dGV4dA==\n";
  const std::string in = root.input("text");
  const std::string again = "i=0; while [ $i -lt 100 ]; do i=$((i + 1)); ";
  const std::vector<std::string> writers{
      "exec 3<>\"$1\"; touch writer-open; sleep 0.5",
      // true, not ":": a failed redirection of a special built-in would end
      // the writer once the copy's directory is gone.
      "touch writer-open; cat \"$1\" > \"$1.x\"; " + again +
          "true > \"$1\"; cat \"$1.x\" >> \"$1\"; done",
      "touch writer-open; tr M N < \"$1\" > \"$1.x\"; " + again + "cat \"$1.x\" 1<> \"$1\"; done",
  };
  for (const auto& writer : writers) {
    SCOPED_TRACE(writer);
    root.set_settings(old_content);
    const std::string cp = fake_cp("cat \"$1\" > \"$2\"; setsid sh -c '" + writer +
                                   "; touch writer-done' sh \"$2\" </dev/null >/dev/null 2>&1 &\n"
                                   "while [ ! -e writer-open ]; do sleep 0.001; done");
    const int status = root.run("ospf", {in}, {{"SANDBOX_CP", cp}});
    const std::string content = root.settings_content();
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(content == new_content) << content.size() << " bytes";
    for (int i = 0; i < 1000 && !std::filesystem::exists(root.dir / "writer-done"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const char* left : {"writer-open", "writer-done", "tmp/settings.module.tal.x"}) {
      std::filesystem::remove(root.dir / left);
    }
  }
}
