// Replays one write log of the power-cut proof and judges every disk state
// it can leave (replay.h, state_check.h): each prefix, and a sample of
// reorderings in each interval between two flushes. Every store_every-th
// state that passes is also stored into by the tool (store_script), as the
// next boot would.
//
// usage: powercut_check RUN_DIR WORK_DIR SAMPLES SEED STORE_EVERY STORE_SCRIPT
//                       [STATES [MOUNT_SCRIPT FILESYSTEM]]
//   RUN_DIR       log.img, base.img (the disk when logging began) and
//                 versions/<directory>/v<N>, every version of each settings
//                 file; log.img and base.img may be block devices
//   WORK_DIR      scratch space for images (a tmpfs is best)
//   STATES        about how many states to judge (default 0: all): every
//                 Nth prefix and the reorderings of every Nth interval, from
//                 one the seed picks, N as small as that allows
//   MOUNT_SCRIPT  without it, a state is an ext4 image read with e2fsprogs,
//                 and STORE_SCRIPT gets IMAGE NUMBER. With it, a state is
//                 mounted by "sh MOUNT_SCRIPT mount FILESYSTEM IMAGE DIR"
//                 (a status other than 0: the state did not mount), read
//                 through the kernel, stored into by "sh STORE_SCRIPT DIR
//                 NUMBER" and unmounted by "sh MOUNT_SCRIPT unmount
//                 FILESYSTEM DIR"; what the script keeps set up from one
//                 state to the next goes at the end, with "sh MOUNT_SCRIPT
//                 release FILESYSTEM DIR". This is how the power-cut guest
//                 judges f2fs, JFFS2 and UBIFS.
// The last line printed is "result prefixes=… reorderings=… stored=… bad=…"
// with a count per kind of fault. Exit status 0: no bad state; 1: bad
// states; 2: the check could not run.
#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "powercut/replay.h"
#include "powercut/state_check.h"
#include "powercut/write_log.h"
#include "sys/failure.h"
#include "sys/file_handle.h"

namespace {

struct options {
  std::string run_dir;
  std::string work_dir;
  std::size_t samples = 0;
  std::uint64_t seed = 0;
  std::size_t store_every = 0;
  std::string store_script;
  std::size_t states = 0;    // 0: every state
  std::string mount_script;  // empty: ext4, read in user space
  std::string filesystem;
};

struct tally {
  std::size_t prefixes = 0;
  std::size_t reorderings = 0;
  std::size_t stored = 0;
  std::size_t checked = 0;
  std::map<fault, std::size_t> bad;
};

// A state costs one copy of the image. It is written over the old copy in
// place, not into a truncated file: on the tmpfs the script gives the
// checker, freeing and zeroing the pages again made a 16 MiB copy take
// about 10 ms instead of 3. (In the emulated guest, a 64 MiB copy takes
// about 0.1 s, a small part of a state's time there.)
bool copy_image(const std::string& from, const std::string& to, std::string* err) {
  const unique_fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) {
    *err = os_error("cannot open " + from);
    return false;
  }
  const unique_fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  if (!out) {
    *err = os_error("cannot create " + to);
    return false;
  }
  std::uint64_t size = 0;
  if (!image_size(in.get(), &size, err)) {
    *err = from + ": " + *err;
    return false;
  }
  auto left = static_cast<off_t>(size);
  while (left > 0) {
    // sendfile, not copy_file_range: this works between filesystems too.
    const ssize_t moved = ::sendfile(out.get(), in.get(), nullptr, static_cast<std::size_t>(left));
    if (moved < 0 && errno == EINTR) {
      continue;
    }
    if (moved <= 0) {
      *err = moved < 0 ? os_error("copying " + from + " to " + to) : from + " shrank";
      return false;
    }
    left -= moved;
  }
  if (::ftruncate(out.get(), static_cast<off_t>(size)) != 0) {
    *err = os_error("cannot set the size of " + to);
    return false;
  }
  return true;
}

bool list_names(const std::string& dir, std::vector<std::string>* names, std::string* err) {
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) {
    *err = os_error("cannot list " + dir);
    return false;
  }
  names->clear();
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names->push_back(name);
    }
  }
  const int error = errno;
  ::closedir(listing);
  if (error != 0) {
    *err = os_error("cannot list " + dir, error);
    return false;
  }
  std::sort(names->begin(), names->end());
  return true;
}

// versions/<directory>/v0, v1, … in order; a gap is an error.
bool load_expectations(const std::string& run_dir, std::vector<phase_expect>* phases,
                       std::string* err) {
  std::vector<std::string> names;
  if (!list_names(run_dir + "/versions", &names, err)) {
    return false;
  }
  for (const std::string& name : names) {
    phase_expect phase;
    phase.name = name;
    std::vector<std::string> files;
    if (!list_names(run_dir + "/versions/" + name, &files, err)) {
      return false;
    }
    for (std::size_t v = 0;; ++v) {
      std::string file = std::to_string(v);
      file.insert(0, 1, 'v');  // not "v" + …, which g++ 12 flags with a false -Wrestrict
      if (std::find(files.begin(), files.end(), file) == files.end()) {
        break;
      }
      std::string content;
      if (!read_whole(run_dir + "/versions/" + name + "/" + file, &content, err)) {
        return false;
      }
      phase.versions.push_back(std::move(content));
    }
    if (phase.versions.empty()) {
      *err = "no v0 in " + run_dir + "/versions/" + name;
      return false;
    }
    phases->push_back(std::move(phase));
  }
  if (phases->empty()) {
    *err = "no settings directories under " + run_dir + "/versions";
    return false;
  }
  return true;
}

// Mounts the image at check_image in the guest (MOUNT_SCRIPT), for a
// filesystem this machine cannot read; *mounted says whether it did, and
// *said what the script printed when it did not.
bool mount_state(const options& opt, const std::string& image, const std::string& point,
                 bool* mounted, std::string* said, std::string* err) {
  const std::string output = opt.work_dir + "/mount.out";
  int status = 0;
  if (!run_captured({"sh", opt.mount_script, "mount", opt.filesystem, image, point}, output,
                    &status, err)) {
    return false;
  }
  *mounted = status == 0;
  if (!*mounted) {
    static_cast<void>(read_whole(output, said, err));
    *said = "status " + std::to_string(status) + ": " + *said;
  }
  return true;
}

bool unmount_state(const options& opt, const std::string& point, std::string* err) {
  const std::string output = opt.work_dir + "/mount.out";
  int status = 0;
  if (!run_captured({"sh", opt.mount_script, "unmount", opt.filesystem, point}, output, &status,
                    err)) {
    return false;
  }
  if (status != 0) {
    std::string said;
    static_cast<void>(read_whole(output, &said, err));
    *err = "cannot unmount the state at " + point + " (status " + std::to_string(status) +
           "): " + said;
    return false;
  }
  return true;
}

// Owner, mode and attributes come from the disk as logging found it: every
// version carries the first one's.
bool learn_attributes(const options& opt, std::vector<phase_expect>& phases, std::string* err) {
  std::vector<std::string> names;
  for (const phase_expect& phase : phases) {
    names.push_back(phase.name);
  }
  std::vector<phase_seen> seen;
  if (opt.mount_script.empty()) {
    if (!read_phases(opt.run_dir + "/base.img", opt.work_dir, names, &seen, err)) {
      return false;
    }
  } else {
    // Mounting may write (a checkpoint, an erase): a copy is mounted.
    const std::string image = opt.work_dir + "/check.img";
    const std::string point = opt.work_dir + "/mnt";
    bool mounted = false;
    std::string said;
    if (!copy_image(opt.run_dir + "/base.img", image, err) ||
        !mount_state(opt, image, point, &mounted, &said, err)) {
      return false;
    }
    if (!mounted) {
      *err = "base.img does not mount: " + said;
      return false;
    }
    std::string unreadable;
    seen = read_mounted_phases(point, names, &unreadable);
    if (!unmount_state(opt, point, err)) {
      return false;
    }
    if (!unreadable.empty()) {
      *err = "base.img: " + unreadable;
      return false;
    }
  }
  for (std::size_t i = 0; i < phases.size(); ++i) {
    if (!seen[i].has_settings || seen[i].content != phases[i].versions[0]) {
      *err = settings_directory(phases[i].name) + "/settings on base.img is not versions/" +
             phases[i].name + "/v0";
      return false;
    }
    for (const dir_item& item : seen[i].items) {
      if (item.name == "settings") {
        phases[i].settings = item;
      }
    }
    phases[i].attributes = seen[i].attributes;
    // For a reader of check.out: what every version must keep.
    static_cast<void>(std::printf(
        "%s/settings: mode %o, owner %u:%u, attributes:%s\n",
        settings_directory(phases[i].name).c_str(), phases[i].settings.mode, phases[i].settings.uid,
        phases[i].settings.gid, seen[i].attributes.empty() ? " none" : ""));
    static_cast<void>(std::fputs(seen[i].attributes.c_str(), stdout));
  }
  return true;
}

struct checker {
  const options& opt;
  const std::vector<phase_expect>& phases;
  tally& count;
  std::string check_image;
  std::string mount_point;

  // A state mounted in the guest, read and judged there; *mounted tells
  // the caller to unmount it.
  bool judge_mounted(const std::map<std::string, std::size_t>& acked, verdict* result,
                     bool* mounted, std::string* err) {
    std::string said;
    if (!mount_state(opt, check_image, mount_point, mounted, &said, err)) {
      return false;
    }
    if (!*mounted) {
      *result = {fault::filesystem, "the state does not mount: " + said};
      return true;
    }
    std::vector<std::string> names;
    for (const phase_expect& phase : phases) {
      names.push_back(phase.name);
    }
    std::string unreadable;
    const std::vector<phase_seen> seen = read_mounted_phases(mount_point, names, &unreadable);
    if (!unreadable.empty()) {
      *result = {fault::filesystem, unreadable};
      return true;
    }
    for (std::size_t i = 0; i < phases.size(); ++i) {
      const auto known = acked.find(phases[i].name);
      *result = judge_phase(phases[i], seen[i], known == acked.end() ? 0 : known->second);
      if (result->kind != fault::none) {
        return true;
      }
    }
    return true;
  }

  // Judges the state in check_image (which it changes) and counts it.
  bool judge(const std::map<std::string, std::size_t>& acked, const std::string& what,
             std::string* err) {
    verdict result;
    bool mounted = false;
    if (opt.mount_script.empty()) {
      if (!check_state(check_image, opt.work_dir, phases, acked, &result, err)) {
        return false;
      }
    } else if (!judge_mounted(acked, &result, &mounted, err)) {
      return false;
    }
    ++count.checked;
    if (count.checked % 100 == 0) {
      // Progress, for a console that shows nothing else for minutes.
      static_cast<void>(std::printf("judged %zu states\n", count.checked));
      static_cast<void>(std::fflush(stdout));
    }
    if (result.kind == fault::none && opt.store_every > 0 && count.checked % opt.store_every == 0) {
      int status = 0;
      const std::string output = opt.work_dir + "/store.out";
      if (!run_captured({"sh", opt.store_script, mounted ? mount_point : check_image,
                         std::to_string(count.stored)},
                        output, &status, err)) {
        return false;
      }
      ++count.stored;
      if (status != 0) {
        std::string said;
        static_cast<void>(read_whole(output, &said, err));
        result = {fault::store, "a store on the mounted state failed (status " +
                                    std::to_string(status) + "): " + said};
      }
    }
    if (mounted && !unmount_state(opt, mount_point, err)) {
      return false;
    }
    if (result.kind != fault::none) {
      // The first few of each kind, so one kind cannot hide another.
      if (count.bad[result.kind]++ < 3) {
        // Examples only: the counts on the result line are the verdict.
        static_cast<void>(std::printf("bad state (%s) %s: %s\n", fault_name(result.kind),
                                      what.c_str(), result.why.c_str()));
      }
    }
    return true;
  }
};

std::string entry_words(const log_entry& entry) {
  std::string words;
  words += (entry.flags & log_flush) != 0 ? " flush" : "";
  words += (entry.flags & log_fua) != 0 ? " fua" : "";
  words += (entry.flags & log_discard) != 0 ? " discard" : "";
  words += (entry.flags & log_metadata) != 0 ? " metadata" : "";
  return words;
}

// A reordering already tried in this interval is not counted twice.
std::vector<std::uint64_t> subset_key(const std::vector<write_piece>& subset) {
  std::vector<std::uint64_t> key;
  for (const write_piece& piece : subset) {
    key.push_back(piece.entry);
    key.push_back(piece.device_offset);
  }
  return key;
}

// The interval's reorderings, each laid on a copy of running, the disk as
// the interval found it.
bool reorderings(checker& check, int log_fd, const write_log& log, flush_interval interval,
                 const std::string& running, std::mt19937_64& random, std::string* err) {
  std::size_t pieces = 0;
  for (std::size_t i = interval.first; i < interval.flush; ++i) {
    pieces += entry_pieces(log, i).size();
  }
  if (pieces < 2) {
    return true;  // every state of the interval is a prefix
  }
  const auto acked = acknowledged(marks_before(log, interval.flush));
  std::set<std::vector<std::uint64_t>> tried;
  for (std::size_t attempt = 0; attempt < check.opt.samples * 4 && tried.size() < check.opt.samples;
       ++attempt) {
    const std::vector<write_piece> subset = reordered_subset(log, interval, random);
    if (subset.empty() || subset.size() == pieces || !tried.insert(subset_key(subset)).second) {
      continue;
    }
    if (!copy_image(running, check.check_image, err)) {
      return false;
    }
    const unique_fd image(::open(check.check_image.c_str(), O_WRONLY | O_CLOEXEC));
    if (!image) {
      *err = os_error("cannot open " + check.check_image);
      return false;
    }
    for (const write_piece& piece : subset) {
      if (!apply_piece(log_fd, image.get(), piece, err)) {
        return false;
      }
    }
    ++check.count.reorderings;
    const std::string what = "reordering of entries " + std::to_string(interval.first) + ".." +
                             std::to_string(interval.flush) + " keeping " +
                             std::to_string(subset.size()) + " of " + std::to_string(pieces) +
                             " pieces";
    if (!check.judge(acked, what, err)) {
      return false;
    }
  }
  return true;
}

// What the mount script keeps set up between states (a loop device, the
// flash) goes when the run ends, however it ends.
struct mount_release {
  const options& opt;
  explicit mount_release(const options& run_options) : opt(run_options) {}
  mount_release(const mount_release&) = delete;
  mount_release& operator=(const mount_release&) = delete;
  ~mount_release() {
    if (opt.mount_script.empty()) {
      return;
    }
    int status = 0;
    std::string err;
    // Nothing is left to tell: a release that fails shows in the next run's mounts.
    static_cast<void>(
        run_captured({"sh", opt.mount_script, "release", opt.filesystem, opt.work_dir + "/mnt"},
                     opt.work_dir + "/mount.out", &status, &err));
  }
};

bool run(const options& opt, tally& count, std::string* err) {
  const mount_release release(opt);
  std::vector<phase_expect> phases;
  if (!load_expectations(opt.run_dir, &phases, err) || !learn_attributes(opt, phases, err)) {
    return false;
  }
  const std::string log_path = opt.run_dir + "/log.img";
  const unique_fd log_fd(::open(log_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!log_fd) {
    *err = os_error("cannot open " + log_path);
    return false;
  }
  write_log log;
  if (!write_log_read(log_fd.get(), &log, err)) {
    *err = log_path + ": " + *err;
    return false;
  }
  const std::string running = opt.work_dir + "/running.img";
  if (!copy_image(opt.run_dir + "/base.img", running, err)) {
    return false;
  }
  const unique_fd image(::open(running.c_str(), O_WRONLY | O_CLOEXEC));
  if (!image) {
    *err = os_error("cannot open " + running);
    return false;
  }
  checker check{opt, phases, count, opt.work_dir + "/check.img", opt.work_dir + "/mnt"};
  std::mt19937_64 random(opt.seed);
  const std::vector<flush_interval> intervals = flush_intervals(log);
  std::size_t next_interval = 0;
  std::map<std::string, std::size_t> acked;
  std::vector<std::string> marks;
  // Sampled: the prefix after every every-th write and the reorderings of
  // every every-th interval, from one the seed picks.
  std::size_t all_writes = 0;
  for (const log_entry& entry : log.entries) {
    all_writes += entry_writes(entry) ? 1 : 0;
  }
  std::size_t reorderable = 0;
  for (const flush_interval interval : intervals) {
    std::size_t pieces = 0;
    for (std::size_t i = interval.first; i < interval.flush && pieces < 2; ++i) {
      pieces += entry_pieces(log, i).size();
    }
    reorderable += pieces < 2 ? 0 : 1;
  }
  const std::size_t all_states = 1 + all_writes + opt.samples * reorderable;
  const std::size_t every =
      opt.states == 0 ? 1 : std::max<std::size_t>(1, (all_states + opt.states - 1) / opt.states);
  const std::size_t first = opt.seed % every;
  std::size_t writes = 0;
  // State p: entries [0, p) on the disk.
  for (std::size_t p = 0; p <= log.entries.size(); ++p) {
    if (p > 0) {
      const log_entry& entry = log.entries[p - 1];
      if ((entry.flags & log_mark) != 0) {
        marks.push_back(entry.mark);
        acked = acknowledged(marks);
      }
      if (!apply_entry(log_fd.get(), image.get(), log, p - 1, err)) {
        return false;
      }
    }
    // The reorderings of an interval start from the disk as it found it,
    // which is the running image before the interval's first entry.
    if (next_interval < intervals.size() && intervals[next_interval].first == p) {
      if (next_interval % every == first &&
          !reorderings(check, log_fd.get(), log, intervals[next_interval], running, random, err)) {
        return false;
      }
      ++next_interval;
    }
    if (p > 0 && !entry_writes(log.entries[p - 1])) {
      continue;  // the same disk as the state before
    }
    if (p > 0 && writes++ % every != first) {
      continue;  // not sampled
    }
    if (!copy_image(running, check.check_image, err)) {
      return false;
    }
    ++count.prefixes;
    const std::string what =
        p == 0 ? std::string("before the first entry")
               : "after entry " + std::to_string(p - 1) + entry_words(log.entries[p - 1]);
    if (!check.judge(acked, what, err)) {
      return false;
    }
  }
  // Context for a reader of check.out; the result line is the verdict.
  static_cast<void>(
      std::printf("log: %zu entries (%zu writes), %zu flush intervals, %zu marks; %zu settings "
                  "directories\nsampled: every %zu%s prefix and flush interval, of %zu states\n",
                  log.entries.size(), writes, intervals.size(), marks.size(), phases.size(), every,
                  every == 1   ? "st"
                  : every == 2 ? "nd"
                  : every == 3 ? "rd"
                               : "th",
                  all_states));
  return true;
}

bool parse_count(const char* text, std::uint64_t* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtoull(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  options opt;
  std::uint64_t samples = 0;
  std::uint64_t every = 0;
  std::uint64_t states = 0;
  if ((argc != 7 && argc != 8 && argc != 10) || !parse_count(argv[3], &samples) ||
      !parse_count(argv[4], &opt.seed) || !parse_count(argv[5], &every) ||
      (argc >= 8 && !parse_count(argv[7], &states))) {
    // Standard error is the last place to say anything; the status says it too.
    static_cast<void>(
        std::fputs("usage: powercut_check RUN_DIR WORK_DIR SAMPLES SEED STORE_EVERY STORE_SCRIPT "
                   "[STATES [MOUNT_SCRIPT FILESYSTEM]]\n",
                   stderr));
    return 2;
  }
  opt.run_dir = argv[1];
  opt.work_dir = argv[2];
  opt.samples = samples;
  opt.store_every = every;
  opt.store_script = argv[6];
  opt.states = states;
  if (argc == 10) {
    opt.mount_script = argv[8];
    opt.filesystem = argv[9];
  }
  tally count;
  std::string err;
  if (!run(opt, count, &err)) {
    static_cast<void>(std::fprintf(stderr, "powercut_check: %s\n", err.c_str()));
    return 2;
  }
  std::size_t bad = 0;
  std::string kinds;
  for (const fault kind : {fault::filesystem, fault::torn, fault::stale, fault::attributes,
                           fault::directory, fault::store}) {
    bad += count.bad[kind];
    kinds += std::string(" ") + fault_name(kind) + "=" + std::to_string(count.bad[kind]);
  }
  // The script reads this line: a run whose line was not written counts as not run.
  if (std::printf("result prefixes=%zu reorderings=%zu stored=%zu bad=%zu%s\n", count.prefixes,
                  count.reorderings, count.stored, bad, kinds.c_str()) < 0 ||
      std::fflush(stdout) != 0) {
    return 2;
  }
  return bad == 0 ? 0 : 1;
}
