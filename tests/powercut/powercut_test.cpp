// The power-cut replay on logs made by hand: the reader, the states it
// builds, and the judgement of what debugfs reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "powercut/replay.h"
#include "powercut/state_check.h"
#include "powercut/write_log.h"
#include "scratch_dir.h"
#include "sys/file_handle.h"

namespace {

constexpr std::uint32_t sector = 512;

void put64(std::string& out, std::size_t at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    out[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xffU);
  }
}

// A log as the target writes it, built entry by entry.
struct log_maker {
  std::string bytes = std::string(sector, '\0');
  std::uint64_t count = 0;

  log_maker& entry(std::uint64_t first, std::uint64_t sectors, std::uint64_t flags,
                   const std::string& data, const std::string& mark = "") {
    std::string header(sector, '\0');
    put64(header, 0, first);
    put64(header, 8, sectors);
    put64(header, 16, flags);
    put64(header, 24, mark.size());
    header.replace(32, mark.size(), mark);
    bytes += header + data;
    ++count;
    return *this;
  }
  log_maker& write(std::uint64_t first, char fill, std::uint64_t sectors, std::uint64_t flags = 0) {
    return entry(first, sectors, flags, std::string(sectors * sector, fill));
  }
  log_maker& flush() { return entry(0, 0, log_flush, ""); }
  log_maker& mark(const std::string& text) { return entry(0, 0, log_mark, "", text); }
  log_maker& discard(std::uint64_t first, std::uint64_t sectors) {
    return entry(first, sectors, log_discard, "");
  }

  std::string finished(std::uint64_t magic = write_log_magic) const {
    std::string out = bytes;
    put64(out, 0, magic);
    put64(out, 8, write_log_version);
    put64(out, 16, count);
    out[24] = static_cast<char>(sector & 0xffU);
    out[25] = static_cast<char>(sector >> 8U);
    return out;
  }
};

struct opened_log {
  scratch_dir dir;
  unique_fd fd;
  write_log log;
  std::string err;
  bool read = false;

  explicit opened_log(const std::string& bytes) {
    write_file(dir / "log.img", bytes);
    fd.reset(::open((dir / "log.img").c_str(), O_RDONLY));
    read = write_log_read(fd.get(), &log, &err);
  }
};

log_maker sample_log() {
  log_maker made;
  made.write(8, 'a', 8)   // one 4 KiB block at 4 KiB
      .write(17, 'b', 2)  // 1 KiB inside the next block
      .flush()            //
      .write(0, 'c', 1, log_fua)
      .mark("ack:small:2")
      .discard(8, 4)
      .write(24, 'd', 16);  // 8 KiB at 12 KiB
  return made;
}

}  // namespace

TEST(WriteLog, ReadsEveryEntryWithItsPlaceAndData) {
  opened_log opened(sample_log().finished());
  ASSERT_TRUE(opened.read) << opened.err;
  const write_log& log = opened.log;
  EXPECT_EQ(log.sector_size, sector);
  ASSERT_EQ(log.entries.size(), 7U);
  EXPECT_EQ(log.entries[0].device_offset, 4096U);
  EXPECT_EQ(log.entries[0].length, 4096U);
  EXPECT_EQ(log.entries[0].data_offset, 2U * sector);  // super, header, data
  EXPECT_EQ(log.entries[1].device_offset, 17U * sector);
  EXPECT_EQ(log.entries[1].data_offset, (2U + 8U + 1U) * sector);
  EXPECT_EQ(log.entries[2].flags, log_flush);
  EXPECT_EQ(log.entries[2].length, 0U);
  EXPECT_EQ(log.entries[3].flags, log_fua);
  EXPECT_EQ(log.entries[4].mark, "ack:small:2");
  EXPECT_EQ(log.entries[4].length, 0U);
  // A discard carries no data in the log: the next entry follows its header.
  EXPECT_EQ(log.entries[5].length, 4U * sector);
  EXPECT_EQ(log.entries[5].data_offset, 0U);
  EXPECT_EQ(log.entries[6].data_offset, log.entries[3].data_offset + 4U * sector);
}

TEST(WriteLog, RefusesWhatIsNoLogOrIsCutShort) {
  EXPECT_FALSE(opened_log(sample_log().finished(0x1234)).read);
  const std::string whole = sample_log().finished();
  opened_log cut(whole.substr(0, whole.size() - 100));
  EXPECT_FALSE(cut.read);
  EXPECT_NE(cut.err.find("past the end"), std::string::npos) << cut.err;
  std::string counted = whole;
  put64(counted, 16, 1000);
  EXPECT_FALSE(opened_log(counted).read);
  opened_log inline_data(log_maker().entry(0, 1, 0, std::string(sector, 'x'), "x").finished());
  EXPECT_FALSE(inline_data.read);
}

TEST(Replay, PrefixesLayWritesAndDiscardsAsZeros) {
  opened_log opened(sample_log().finished());
  ASSERT_TRUE(opened.read) << opened.err;
  write_file(opened.dir / "disk.img", std::string(32768, 'z'));
  const unique_fd disk(::open((opened.dir / "disk.img").c_str(), O_WRONLY));
  std::string err;
  for (std::size_t i = 0; i < opened.log.entries.size(); ++i) {
    ASSERT_TRUE(apply_entry(opened.fd.get(), disk.get(), opened.log, i, &err)) << err;
  }
  const std::string disk_now = read_file(opened.dir / "disk.img");
  EXPECT_EQ(disk_now.substr(0, 512), std::string(512, 'c'));
  EXPECT_EQ(disk_now.substr(512, 3584), std::string(3584, 'z'));
  EXPECT_EQ(disk_now.substr(4096, 2048), std::string(2048, '\0'));
  EXPECT_EQ(disk_now.substr(6144, 2048), std::string(2048, 'a'));
  EXPECT_EQ(disk_now.substr(8192, 512), std::string(512, 'z'));
  EXPECT_EQ(disk_now.substr(8704, 1024), std::string(1024, 'b'));
  EXPECT_EQ(disk_now.substr(12288, 8192), std::string(8192, 'd'));
  EXPECT_EQ(disk_now.substr(20480), std::string(12288, 'z'));
}

TEST(Replay, WritesTearAtBlocksButFuaStaysWhole) {
  log_maker made;
  made.write(4, 'a', 16).write(0, 'b', 16, log_fua);
  opened_log opened(made.finished());
  ASSERT_TRUE(opened.read) << opened.err;
  const std::vector<write_piece> torn = entry_pieces(opened.log, 0);
  ASSERT_EQ(torn.size(), 3U);  // 2 KiB up to the boundary, 4 KiB, 2 KiB
  EXPECT_EQ(torn[0].device_offset, 2048U);
  EXPECT_EQ(torn[0].length, 2048U);
  EXPECT_EQ(torn[1].device_offset, 4096U);
  EXPECT_EQ(torn[1].length, 4096U);
  EXPECT_EQ(torn[1].data_offset, torn[0].data_offset + 2048U);
  EXPECT_EQ(torn[2].length, 2048U);
  EXPECT_EQ(entry_pieces(opened.log, 1).size(), 1U);
}

TEST(Replay, IntervalsEndAtFlushesAndTheLastMayBeOpen) {
  opened_log opened(sample_log().finished());
  ASSERT_TRUE(opened.read) << opened.err;
  const std::vector<flush_interval> intervals = flush_intervals(opened.log);
  ASSERT_EQ(intervals.size(), 2U);
  EXPECT_EQ(intervals[0].first, 0U);
  EXPECT_EQ(intervals[0].flush, 2U);
  EXPECT_EQ(intervals[1].first, 3U);
  EXPECT_EQ(intervals[1].flush, 7U);
}

TEST(Replay, ASubsetNeverDropsAFuaWriteWhileKeepingALaterEntry) {
  log_maker made;
  made.write(0, 'a', 8).write(8, 'f', 8, log_fua).write(16, 'c', 24).flush();
  opened_log opened(made.finished());
  ASSERT_TRUE(opened.read) << opened.err;
  const flush_interval interval = flush_intervals(opened.log)[0];
  std::mt19937_64 random(7);
  std::size_t dropped_first = 0;
  std::size_t dropped_fua = 0;
  for (int round = 0; round < 500; ++round) {
    bool fua = false;
    bool first = false;
    bool later = false;
    for (const write_piece& piece : reordered_subset(opened.log, interval, random)) {
      fua = fua || piece.entry == 1;
      first = first || piece.entry == 0;
      later = later || piece.entry == 2;
    }
    EXPECT_TRUE(fua || !later);
    dropped_first += first ? 0 : 1;
    dropped_fua += fua ? 0 : 1;
  }
  // Both kinds of loss are drawn: the rule is not "keep everything".
  EXPECT_GT(dropped_first, 0U);
  EXPECT_GT(dropped_fua, 0U);
}

TEST(Replay, MarksCountOnlyBeforeTheCut) {
  opened_log opened(sample_log().finished());
  ASSERT_TRUE(opened.read) << opened.err;
  EXPECT_TRUE(marks_before(opened.log, 4).empty());
  EXPECT_EQ(marks_before(opened.log, 5), std::vector<std::string>{"ack:small:2"});
}

TEST(StateCheck, AcknowledgedTakesTheHighestVersionPerDirectory) {
  const auto acked =
      acknowledged({"ack:small:2", "ack:large:1", "ack:small:1", "phase:x", "ack:bad:1x"});
  EXPECT_EQ(acked.at("small"), 2U);
  EXPECT_EQ(acked.at("large"), 1U);
  EXPECT_EQ(acked.count("bad"), 0U);
}

TEST(StateCheck, DebugfsOutputIsSplitPerCommand) {
  const std::string output =
      "debugfs 1.47.0 (5-Feb-2023)\n"
      "debugfs: ls -p /small/tal/etc\n"
      "/12/040755/0/0/.//\n"
      "/2/040755/0/0/..//\n"
      "/13/100640/0/1000/settings/4/\n"
      "/14/100600/0/0/.settings.lock/0/\n"
      "\n"
      "debugfs: ea_list /small/tal/etc/settings\n"
      "Extended attributes:\n"
      "  user.origin (7) = \"factory\"\n"
      "debugfs: dump /small/tal/etc/settings /w/dump-small\n"
      "debugfs: ls -p /large/tal/etc\n"
      "/large/tal/etc: File not found by ext2_lookup \n";
  const std::vector<phase_seen> seen = parse_debugfs(output, {"small", "large"});
  ASSERT_EQ(seen.size(), 2U);
  EXPECT_TRUE(seen[0].listed);
  EXPECT_TRUE(seen[0].has_settings);
  ASSERT_EQ(seen[0].items.size(), 2U);
  EXPECT_EQ(seen[0].items[0].mode, 0100640U);
  EXPECT_EQ(seen[0].items[0].gid, 1000U);
  EXPECT_EQ(seen[0].items[0].size, 4U);
  EXPECT_EQ(seen[0].attributes, "Extended attributes:\n  user.origin (7) = \"factory\"\n");
  EXPECT_FALSE(seen[1].listed);
}

namespace {

phase_expect small_expect() {
  phase_expect expect;
  expect.name = "small";
  expect.versions = {"A=0\n", "A=1\n", "A=2\n"};
  expect.settings = {"settings", 0100640, 0, 1000, 4};
  expect.attributes = "Extended attributes:\n  user.origin (7) = \"factory\"\n";
  return expect;
}

phase_seen seen_with(const std::string& content) {
  phase_seen seen;
  seen.listed = true;
  seen.has_settings = true;
  seen.items = {{"settings", 0100640, 0, 1000, content.size()},
                {".settings.lock", 0100600, 0, 0, 0}};
  seen.attributes = small_expect().attributes;
  seen.content = content;
  return seen;
}

}  // namespace

TEST(StateCheck, AnyVersionFromTheAcknowledgedOnIsWhole) {
  EXPECT_EQ(judge_phase(small_expect(), seen_with("A=1\n"), 1).kind, fault::none);
  EXPECT_EQ(judge_phase(small_expect(), seen_with("A=2\n"), 1).kind, fault::none);
  phase_seen with_temp = seen_with("A=2\n");
  with_temp.items.push_back({".settings.tal-setconf-Ab12Cd", 0100640, 0, 1000, 2});
  EXPECT_EQ(judge_phase(small_expect(), with_temp, 2).kind, fault::none);
}

TEST(StateCheck, TornEmptyStaleAndStrangeStatesAreFaults) {
  EXPECT_EQ(judge_phase(small_expect(), seen_with(""), 0).kind, fault::torn);
  EXPECT_EQ(judge_phase(small_expect(), seen_with("A=\0\0"), 0).kind, fault::torn);
  EXPECT_EQ(judge_phase(small_expect(), seen_with("A=0\n"), 1).kind, fault::stale);
  phase_seen gone = seen_with("");
  gone.items.erase(gone.items.begin());
  gone.has_settings = false;
  EXPECT_EQ(judge_phase(small_expect(), gone, 0).kind, fault::torn);
  phase_seen mode = seen_with("A=1\n");
  mode.items[0].mode = 0100644;
  EXPECT_EQ(judge_phase(small_expect(), mode, 0).kind, fault::attributes);
  phase_seen acl = seen_with("A=1\n");
  acl.attributes = "";
  EXPECT_EQ(judge_phase(small_expect(), acl, 0).kind, fault::attributes);
  phase_seen two_temps = seen_with("A=1\n");
  two_temps.items.push_back({".settings.tal-setconf-Ab12Cd", 0100640, 0, 1000, 2});
  two_temps.items.push_back({".settings.tal-setconf-Xy34Zw", 0100640, 0, 1000, 2});
  EXPECT_EQ(judge_phase(small_expect(), two_temps, 0).kind, fault::directory);
  phase_seen stray = seen_with("A=1\n");
  stray.items.push_back({"settings.tmp", 0100640, 0, 0, 2});
  EXPECT_EQ(judge_phase(small_expect(), stray, 0).kind, fault::directory);
}

// A state as the guest reads it once its kernel has mounted it (f2fs, JFFS2,
// UBIFS): a directory tree here, read through this machine's kernel.
TEST(StateCheckMounted, TheTreeIsReadThroughTheKernelAndJudged) {
  const scratch_dir dir;
  const auto etc = dir / "small" / "tal" / "etc";
  std::filesystem::create_directories(etc);
  write_file(etc / "settings", "A=1\n");
  write_file(etc / ".settings.lock", "");
  std::filesystem::permissions(etc / "settings", std::filesystem::perms(0640));
  ASSERT_EQ(::setxattr((etc / "settings").c_str(), "user.origin", "factory", 7, 0), 0);
  std::string unreadable;
  std::vector<phase_seen> seen = read_mounted_phases(dir.path.string(), {"small"}, &unreadable);
  ASSERT_EQ(unreadable, "");
  ASSERT_EQ(seen.size(), 1U);
  EXPECT_TRUE(seen[0].listed);
  EXPECT_TRUE(seen[0].has_settings);
  EXPECT_EQ(seen[0].content, "A=1\n");
  EXPECT_EQ(seen[0].attributes, "user.origin = 66 61 63 74 6f 72 79\n");
  phase_expect expect = small_expect();
  expect.attributes = seen[0].attributes;
  for (const dir_item& item : seen[0].items) {
    if (item.name == "settings") {
      expect.settings = item;
      EXPECT_EQ(item.mode, 0100640U);
      EXPECT_EQ(item.size, 4U);
    }
  }
  EXPECT_EQ(judge_phase(expect, seen[0], 1).kind, fault::none);
  // The next version without its attribute, and a directory that is gone.
  write_file(etc / "settings", "A=2\n");
  ASSERT_EQ(::removexattr((etc / "settings").c_str(), "user.origin"), 0);
  seen = read_mounted_phases(dir.path.string(), {"small", "large"}, &unreadable);
  ASSERT_EQ(unreadable, "");
  EXPECT_EQ(judge_phase(expect, seen[0], 2).kind, fault::attributes);
  EXPECT_FALSE(seen[1].listed);
}

// The checker on real images, made here with mke2fs -d and damaged by hand:
// it must pass a good state and find each kind of fault.
namespace {

struct small_image {
  scratch_dir dir;
  std::string image;
  std::string work;
  std::vector<phase_expect> phases;

  small_image() {
    const auto etc = dir / "tree" / "small" / "tal" / "etc";
    std::filesystem::create_directories(etc);
    write_file(etc / "settings", "A=1\n");
    write_file(etc / ".settings.lock", "");
    std::filesystem::permissions(etc / "settings", std::filesystem::perms(0640));
    image = (dir / "disk.img").string();
    work = (dir / "work").string();
    std::filesystem::create_directories(work);
    EXPECT_EQ(run({"mkfs.ext4", "-q", "-F", "-b", "4096", "-N", "64", "-d", (dir / "tree").string(),
                   image, "8M"}),
              0);
    phase_expect small;
    small.name = "small";
    small.versions = {"A=0\n", "A=1\n", "A=2\n"};
    std::vector<phase_seen> seen;
    std::string err;
    EXPECT_TRUE(read_phases(image, work, {"small"}, &seen, &err)) << err;
    small.settings =
        seen.at(0).items.at(0).name == "settings" ? seen[0].items[0] : seen[0].items[1];
    small.attributes = seen[0].attributes;
    phases = {small};
  }

  int run(const std::vector<std::string>& argv) const {
    int status = -1;
    std::string err;
    EXPECT_TRUE(run_captured(argv, work + "/run.out", &status, &err)) << err;
    return status;
  }

  // The first block of a file on the image, from debugfs.
  std::uint64_t first_block(const std::string& path) const {
    run({"debugfs", "-R", "bmap " + path + " 0", image});
    std::string said;
    std::string err;
    EXPECT_TRUE(read_whole(work + "/run.out", &said, &err)) << err;
    const std::size_t digits = said.find_last_not_of("0123456789\n");
    return std::stoull(said.substr(digits + 1));
  }

  void overwrite(std::uint64_t offset, const std::string& bytes) const {
    const unique_fd fd(::open(image.c_str(), O_WRONLY));
    ASSERT_EQ(::pwrite(fd.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
  }

  verdict check(std::size_t acked) const {
    verdict result;
    std::string err;
    EXPECT_TRUE(check_state(image, work, phases, {{"small", acked}}, &result, &err)) << err;
    return result;
  }
};

}  // namespace

TEST(StateCheckOnImage, AGoodStatePassesAndAnOlderOneIsStale) {
  small_image made;
  const verdict good = made.check(1);
  EXPECT_EQ(good.kind, fault::none) << good.why;
  const verdict stale = made.check(2);
  EXPECT_EQ(stale.kind, fault::stale) << stale.why;
}

TEST(StateCheckOnImage, ADataBlockOfZerosIsTorn) {
  small_image made;
  made.overwrite(made.first_block("/small/tal/etc/settings") * 4096, std::string(4, '\0'));
  const verdict torn = made.check(0);
  EXPECT_EQ(torn.kind, fault::torn) << torn.why;
}

TEST(StateCheckOnImage, AClearedDirectoryInodeFailsTheFilesystemCheck) {
  small_image made;
  made.run({"debugfs", "-w", "-R", "clri /small/tal/etc", made.image});
  const verdict broken = made.check(0);
  EXPECT_EQ(broken.kind, fault::filesystem) << broken.why;
}

TEST(StateCheckOnImage, AStrayFileInTheSettingsDirectoryIsFound) {
  small_image made;
  write_file(made.dir / "stray", "x");
  made.run({"debugfs", "-w", "-R",
            "write " + (made.dir / "stray").string() + " /small/tal/etc/settings.tmp", made.image});
  const verdict stray = made.check(0);
  EXPECT_EQ(stray.kind, fault::directory) << stray.why;
}

TEST(PowercutCheck, AWriteOfGarbageOverTheSettingsIsReportedAsTorn) {
  small_image made;
  const std::uint64_t block = made.first_block("/small/tal/etc/settings");
  log_maker log;
  log.write(block * 8, 'Z', 8).flush();
  const scratch_dir run;
  std::filesystem::create_directories(run / "versions" / "small");
  write_file(run / "versions" / "small" / "v0", "A=1\n");
  write_file(run / "log.img", log.finished());
  std::filesystem::copy_file(made.image, run / "base.img");
  const int status = made.run({POWERCUT_CHECK, run.path.string(), made.work, "4", "1", "0", "-"});
  std::string said;
  std::string err;
  ASSERT_TRUE(read_whole(made.work + "/run.out", &said, &err)) << err;
  EXPECT_EQ(status, 1) << said;
  // The two states before the write are good, the one after it is torn.
  EXPECT_NE(said.find("result prefixes=2 reorderings=0 stored=0 bad=1 filesystem=0 torn=1"),
            std::string::npos)
      << said;
}
