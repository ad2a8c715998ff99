#include "powercut/state_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

#include "sys/failure.h"
#include "sys/file_handle.h"

namespace {

constexpr std::string_view settings_name = "settings";
constexpr std::string_view temp_prefix = ".settings.tal-setconf-";
constexpr std::size_t temp_suffix_length = 6;  // mkstemp's XXXXXX

bool is_lock_name(std::string_view name) {
  return name.starts_with(".settings") && name.ends_with(".lock");
}

bool is_temp_name(std::string_view name) {
  return name.starts_with(temp_prefix) && name.size() == temp_prefix.size() + temp_suffix_length;
}

template <typename Number>
bool parse_number(std::string_view text, int base, Number* value) {
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), last, *value, base);
  return error == std::errc() && end == last && !text.empty();
}

// The end of a program's output, on one line, for a reason.
std::string tail_of(const std::string& text) {
  constexpr std::size_t keep = 240;
  std::string tail = text.size() > keep ? "..." + text.substr(text.size() - keep) : text;
  while (!tail.empty() && tail.back() == '\n') {
    tail.pop_back();
  }
  for (char& c : tail) {
    if (c == '\n') {
      c = '|';
    }
  }
  return tail;
}

std::string describe(const std::string& content) {
  const std::size_t zeros = static_cast<std::size_t>(std::count(content.begin(), content.end(), 0));
  return std::to_string(content.size()) + " bytes" +
         (zeros > 0 ? ", " + std::to_string(zeros) + " of them zero" : "");
}

// The extended attributes of path, one "name = hex bytes" line each, in
// name order; false with the reason when they cannot be read.
bool attribute_lines(const std::string& path, std::string* lines, std::string* err) {
  std::vector<char> names(4096);
  ssize_t length = ::llistxattr(path.c_str(), names.data(), names.size());
  if (length < 0) {
    *err = os_error("cannot list the extended attributes of " + path);
    return false;
  }
  std::vector<std::string> sorted;
  for (std::size_t at = 0; at < static_cast<std::size_t>(length);) {
    sorted.emplace_back(names.data() + at);
    at += sorted.back().size() + 1;
  }
  std::sort(sorted.begin(), sorted.end());
  lines->clear();
  for (const std::string& name : sorted) {
    std::vector<unsigned char> value(65536);
    length = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
    if (length < 0) {
      *err = os_error("cannot read " + name + " of " + path);
      return false;
    }
    *lines += name + " =";
    for (ssize_t i = 0; i < length; ++i) {
      constexpr std::string_view digits = "0123456789abcdef";
      const unsigned byte = value[static_cast<std::size_t>(i)];
      *lines += ' ';
      *lines += digits[byte >> 4U];
      *lines += digits[byte & 15U];
    }
    *lines += '\n';
  }
  return true;
}

// Reads a file under a mounted state through a descriptor of its own, so
// that an I/O error is told as one.
bool read_mounted_file(const std::string& path, std::string* content, std::string* err) {
  const unique_fd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file) {
    *err = os_error("cannot open " + path);
    return false;
  }
  content->clear();
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      *err = os_error("cannot read " + path);
      return false;
    }
    if (got == 0) {
      return true;
    }
    content->append(buffer.data(), static_cast<std::size_t>(got));
  }
}

// One settings directory under a mounted state; false with the reason when
// something in it cannot be read.
bool read_mounted_phase(const std::string& directory, phase_seen* seen, std::string* err) {
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) {
    if (errno == ENOENT) {
      return true;  // not listed: the judgement says the directory is gone
    }
    *err = os_error("cannot list " + directory);
    return false;
  }
  seen->listed = true;
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    struct stat st {};
    if (::fstatat(::dirfd(listing), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      *err = os_error("cannot stat " + directory + "/" + name);
      ::closedir(listing);
      return false;
    }
    seen->items.push_back({name, st.st_mode, st.st_uid, st.st_gid,
                           S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size)});
    seen->has_settings = seen->has_settings || name == settings_name;
    errno = 0;
  }
  const int error = errno;
  ::closedir(listing);
  if (error != 0) {
    *err = os_error("cannot list " + directory, error);
    return false;
  }
  if (!seen->has_settings) {
    return true;
  }
  const std::string settings = directory + "/" + std::string(settings_name);
  return attribute_lines(settings, &seen->attributes, err) &&
         read_mounted_file(settings, &seen->content, err);
}

}  // namespace

const char* fault_name(fault kind) {
  switch (kind) {
    case fault::none:
      return "none";
    case fault::filesystem:
      return "filesystem";
    case fault::torn:
      return "torn";
    case fault::stale:
      return "stale";
    case fault::attributes:
      return "attributes";
    case fault::directory:
      return "directory";
    case fault::store:
      return "store";
  }
  return "?";
}

std::string settings_directory(const std::string& phase) {
  return "/" + phase + "/tal/etc";
}

std::map<std::string, std::size_t> acknowledged(const std::vector<std::string>& marks) {
  std::map<std::string, std::size_t> acked;
  for (const std::string& mark : marks) {
    if (!mark.starts_with("ack:")) {
      continue;
    }
    const std::size_t colon = mark.find(':', 4);
    if (colon == std::string::npos) {
      continue;
    }
    std::size_t version = 0;
    if (!parse_number(std::string_view(mark).substr(colon + 1), 10, &version)) {
      continue;
    }
    std::size_t& known = acked[mark.substr(4, colon - 4)];
    known = std::max(known, version);
  }
  return acked;
}

std::vector<dir_item> parse_listing(const std::string& text) {
  // "/inode/mode/uid/gid/name/size/", one per line; a directory's size is
  // empty. Lines of another shape (a blank, an error) are not names.
  std::vector<dir_item> items;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 2 || line.front() != '/' || line.back() != '/') {
      continue;
    }
    std::vector<std::string_view> fields;
    const std::string_view inner = std::string_view(line).substr(1, line.size() - 2);
    for (std::size_t at = 0;;) {
      const std::size_t slash = inner.find('/', at);
      fields.push_back(inner.substr(at, slash == std::string_view::npos ? slash : slash - at));
      if (slash == std::string_view::npos) {
        break;
      }
      at = slash + 1;
    }
    dir_item item;
    if (fields.size() != 6 || !parse_number(fields[1], 8, &item.mode) ||
        !parse_number(fields[2], 10, &item.uid) || !parse_number(fields[3], 10, &item.gid) ||
        (!fields[5].empty() && !parse_number(fields[5], 10, &item.size))) {
      continue;
    }
    item.name = fields[4];
    if (item.name != "." && item.name != "..") {
      items.push_back(item);
    }
  }
  return items;
}

std::string listing_commands(const std::vector<std::string>& phases,
                             const std::string& dump_prefix) {
  std::string commands;
  for (const std::string& phase : phases) {
    const std::string directory = settings_directory(phase);
    commands += "ls -p " + directory + "\n";
    commands += "ea_list " + directory + "/settings\n";
    commands += "dump " + directory + "/settings " + dump_prefix + phase + "\n";
  }
  return commands;
}

std::vector<phase_seen> parse_debugfs(const std::string& output,
                                      const std::vector<std::string>& phases) {
  // debugfs echoes each command as "debugfs: COMMAND"; what follows, up to
  // the next echo, is its output.
  std::map<std::string, std::string> said;
  std::string command;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("debugfs: ")) {
      command = line.substr(9);
      said[command];
    } else if (!command.empty()) {
      said[command] += line + "\n";
    }
  }
  std::vector<phase_seen> seen(phases.size());
  for (std::size_t i = 0; i < phases.size(); ++i) {
    const std::string directory = settings_directory(phases[i]);
    const std::string& listing = said["ls -p " + directory];
    seen[i].listed = listing.find("File not found") == std::string::npos;
    seen[i].items = parse_listing(listing);
    seen[i].attributes = said["ea_list " + directory + "/settings"];
    for (const dir_item& item : seen[i].items) {
      seen[i].has_settings = seen[i].has_settings || item.name == settings_name;
    }
  }
  return seen;
}

verdict judge_phase(const phase_expect& expect, const phase_seen& seen, std::size_t acked) {
  const std::string where = settings_directory(expect.name) + ": ";
  if (!seen.listed) {
    return {fault::directory, where + "the directory is gone"};
  }
  std::size_t temps = 0;
  const dir_item* settings = nullptr;
  for (const dir_item& item : seen.items) {
    if (item.name == settings_name) {
      settings = &item;
    } else if (is_temp_name(item.name)) {
      ++temps;
    } else if (!is_lock_name(item.name) && item.name != "lost+found") {
      return {fault::directory, where + "unexpected " + item.name};
    }
  }
  if (temps > 1) {
    return {fault::directory, where + std::to_string(temps) + " new files left by stores"};
  }
  if (settings == nullptr) {
    return {fault::torn, where + "no settings file"};
  }
  std::size_t version = expect.versions.size();
  for (std::size_t v = expect.versions.size(); v-- > 0;) {
    if (expect.versions[v] == seen.content) {
      version = v;
      break;
    }
  }
  if (version == expect.versions.size()) {
    return {fault::torn, where + "the settings file (" + describe(seen.content) +
                             ") is none of the " + std::to_string(expect.versions.size()) +
                             " versions"};
  }
  if (version < acked) {
    return {fault::stale, where + "version " + std::to_string(version) + ", but store " +
                              std::to_string(acked) + " was acknowledged"};
  }
  if (settings->mode != expect.settings.mode || settings->uid != expect.settings.uid ||
      settings->gid != expect.settings.gid) {
    std::ostringstream got;
    got << std::oct << settings->mode << std::dec << " " << settings->uid << ":" << settings->gid;
    std::ostringstream want;
    want << std::oct << expect.settings.mode << std::dec << " " << expect.settings.uid << ":"
         << expect.settings.gid;
    return {fault::attributes, where + "mode and owner " + got.str() + ", not " + want.str()};
  }
  if (seen.attributes != expect.attributes) {
    return {fault::attributes, where + "extended attributes " + tail_of(seen.attributes) +
                                   ", not " + tail_of(expect.attributes)};
  }
  return {};
}

bool run_captured(const std::vector<std::string>& argv, const std::string& output_path, int* status,
                  std::string* err) {
  posix_spawn_file_actions_t actions;
  if (const int error = ::posix_spawn_file_actions_init(&actions); error != 0) {
    *err = os_error("posix_spawn_file_actions_init", error);
    return false;
  }
  int error = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (error == 0) {
    error = ::posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(),
                                               O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  if (error == 0) {
    error = ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  pid_t child = -1;
  if (error == 0) {
    error = ::posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
  }
  ::posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    *err = os_error("cannot run " + argv[0], error);
    return false;
  }
  int raw = 0;
  while (::waitpid(child, &raw, 0) < 0) {
    if (errno != EINTR) {
      *err = os_error("waiting for " + argv[0]);
      return false;
    }
  }
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return true;
}

bool read_whole(const std::string& path, std::string* content, std::string* err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *err = os_error("cannot open " + path);
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  if (in.bad()) {
    *err = "cannot read " + path;
    return false;
  }
  *content = all.str();
  return true;
}

std::vector<phase_seen> read_mounted_phases(const std::string& root,
                                            const std::vector<std::string>& phases,
                                            std::string* unreadable) {
  std::vector<phase_seen> seen(phases.size());
  unreadable->clear();
  for (std::size_t i = 0; i < phases.size(); ++i) {
    if (!read_mounted_phase(root + settings_directory(phases[i]), &seen[i], unreadable)) {
      break;
    }
  }
  return seen;
}

bool read_phases(const std::string& image_path, const std::string& work_dir,
                 const std::vector<std::string>& phases, std::vector<phase_seen>* seen,
                 std::string* err) {
  const std::string dump_prefix = work_dir + "/dump-";
  const std::string commands_path = work_dir + "/debugfs.commands";
  {
    std::ofstream commands(commands_path, std::ios::trunc);
    commands << listing_commands(phases, dump_prefix);
    if (!commands.flush()) {
      *err = "cannot write " + commands_path;
      return false;
    }
  }
  for (const std::string& phase : phases) {
    // A dump of a missing file writes nothing: an older dump must not stand in.
    if (::unlink((dump_prefix + phase).c_str()) != 0 && errno != ENOENT) {
      *err = os_error("cannot remove " + dump_prefix + phase);
      return false;
    }
  }
  const std::string output_path = work_dir + "/debugfs.out";
  int status = 0;
  if (!run_captured({"debugfs", "-f", commands_path, image_path}, output_path, &status, err)) {
    return false;
  }
  std::string output;
  if (!read_whole(output_path, &output, err)) {
    return false;
  }
  if (status != 0) {
    *err = "debugfs exited with status " + std::to_string(status) + ": " + tail_of(output);
    return false;
  }
  *seen = parse_debugfs(output, phases);
  for (std::size_t i = 0; i < phases.size(); ++i) {
    if ((*seen)[i].has_settings && !read_whole(dump_prefix + phases[i], &(*seen)[i].content, err)) {
      return false;
    }
  }
  return true;
}

bool check_state(const std::string& image_path, const std::string& work_dir,
                 const std::vector<phase_expect>& phases,
                 const std::map<std::string, std::size_t>& acked, verdict* result,
                 std::string* err) {
  const std::string fsck_output = work_dir + "/e2fsck.out";
  int status = 0;
  // What the next mount would do first: replay the journal.
  if (!run_captured({"e2fsck", "-p", "-E", "journal_only", image_path}, fsck_output, &status,
                    err)) {
    return false;
  }
  std::string output;
  if (status > 1) {
    static_cast<void>(read_whole(fsck_output, &output, err));
    *result = {fault::filesystem, "journal recovery: e2fsck exited with status " +
                                      std::to_string(status) + ": " + tail_of(output)};
    return true;
  }
  if (!run_captured({"e2fsck", "-fn", image_path}, fsck_output, &status, err)) {
    return false;
  }
  if (status != 0) {
    static_cast<void>(read_whole(fsck_output, &output, err));
    *result = {fault::filesystem,
               "e2fsck -fn exited with status " + std::to_string(status) + ": " + tail_of(output)};
    return true;
  }
  std::vector<std::string> names;
  for (const phase_expect& phase : phases) {
    names.push_back(phase.name);
  }
  std::vector<phase_seen> seen;
  if (!read_phases(image_path, work_dir, names, &seen, err)) {
    return false;
  }
  for (std::size_t i = 0; i < phases.size(); ++i) {
    const auto known = acked.find(phases[i].name);
    *result = judge_phase(phases[i], seen[i], known == acked.end() ? 0 : known->second);
    if (result->kind != fault::none) {
      return true;
    }
  }
  *result = {};
  return true;
}
