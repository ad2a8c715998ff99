// libFuzzer target: arbitrary bytes as a settings file and a configuration
// text, stored into each kind of section the way the tool does, with the
// properties that must hold checked on the result:
// - the one-pass loader finds what a deliberately naive reference reader
//   (settings_key_reader.h, independent of src/) finds;
// - every line that is not the section's comes out, in order, cut at its
//   first CR and LF and otherwise whole;
// - the section's block comes out once, whole, in catalogue order, in the
//   place of the section's first line (or at the end);
// - loading the new file gives back the values loaded from the old one (a
//   text value cut to the longest a line carries, a switch as 0 or 1): a
//   store changes nothing of a section but its text;
// - a store is a fixed point: storing the same text into the new file makes
//   the same file again, byte for byte.
// Input: byte 0 picks the section, bytes 1-2 give the text's length, the
// text follows, and the rest is the settings file.
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "section/section_load.h"
#include "section/section_rewrite.h"
#include "settings/base64.h"
#include "settings/settings_file.h"
#include "settings_key_reader.h"
#include "tool/program_name.h"
#include "tool/section_store.h"
#include "tool/tool_limits.h"

namespace {

constexpr std::array<std::string_view, 10> tokens{"global", "vrf1",   "vrf2", "vrf3",  "vrf",
                                                  "mpls",   "pim_sm", "ospf", "ospf6", "bgp"};

struct workspace {
  std::string dir;
  std::string settings, lock, working_copy, missing_hash, missing_log, text;
  tool_paths paths{};

  workspace() {
    // On tmpfs where there is one: the fsyncs of each store cost nothing there.
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string templ = std::string(base) + "/tal-fuzz.XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
      std::abort();
    }
    dir = templ;
    settings = dir + "/settings";
    lock = dir + "/.settings.lock";
    working_copy = dir + "/settings.module.tal";
    missing_hash = dir + "/no-hash-tool";
    missing_log = dir + "/no-log";
    text = dir + "/text";
    paths = {settings.c_str(), lock.c_str(),         working_copy.c_str(),
             "/bin/cp",        missing_hash.c_str(), missing_log.c_str()};
  }
  ~workspace() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

workspace& space() {
  static workspace instance;
  return instance;
}

void check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Everything written to fd, from its start.
std::string slurp_fd(int fd) {
  std::string content;
  char block[65536];
  ssize_t got = 0;
  for (off_t at = 0; (got = ::pread(fd, block, sizeof block, at)) > 0; at += got) {
    content.append(block, static_cast<std::size_t>(got));
  }
  return content;
}

// Lines as the file holds them, without their line feeds; a last line
// without one counts too.
std::vector<std::string_view> raw_lines(std::string_view content) {
  std::vector<std::string_view> lines;
  while (!content.empty()) {
    const auto lf = content.find('\n');
    lines.push_back(content.substr(0, lf));
    content = lf == std::string_view::npos ? std::string_view() : content.substr(lf + 1);
  }
  return lines;
}

bool belongs(std::string_view text, std::string_view pattern) {
  text = text.substr(0, text.find('\0'));
  return text.find('=') != std::string_view::npos && text.find(pattern) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) {
    return 0;
  }
  const std::string_view token = tokens[data[0] % tokens.size()];
  const std::size_t text_length =
      std::min<std::size_t>((data[1] | (data[2] << 8)) & 0x3fff, size - 3);
  const std::string_view input(reinterpret_cast<const char*>(data) + 3, size - 3);
  const std::string text(input.substr(0, text_length));
  const std::string_view content = input.substr(text_length);

  workspace& ws = space();
  {
    std::ofstream out(ws.settings, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  std::string err;
  section_name name;
  check(section_name_from_program("tal-setconf-" + std::string(token), &name, &err),
        "accepted section name");
  const section_kind kind = section_kind_of(name.token);

  section_record record;
  record.section = name.token;
  record.key_infix = name.key_infix;
  record.kind = kind;
  file_stream file = settings_open(ws.settings.c_str(), "r");
  settings_plain_parts plain;
  check(file && section_load({::fileno(file.get()), ws.settings}, &record, &plain, &err),
        "settings load");

  // The one pass finds what the reference finds.
  std::vector<const catalogue_row*> rows;
  for (const auto& row : section_catalogue()) {
    if (!section_row_applies(row, kind)) {
      continue;
    }
    rows.push_back(&row);
    const std::string key = section_row_key(row, record.key_infix);
    const std::string expected = settings_find(content, key).value_or("");
    if (value_kind_is_text(row.value)) {
      check(section_row_text(record, row) == expected, "loaded text");
    } else {
      check(section_row_number(record, row) == settings_scan_uint(expected), "loaded number");
    }
  }
  file.reset();

  // Store the text as the tool would.
  const std::string_view stored_text = std::string_view(text).substr(0, text.find('\0'));
  if (section_has_conf(kind) && stored_text.size() > config_text_max_stored) {
    return 0;
  }
  record.conf = text;
  std::string after;
  {
    file_stream in = settings_open(ws.settings.c_str(), "r");
    file_stream out(::fdopen(::memfd_create("rewritten", 0), "w+"));
    check(in && out, "streams");
    check(section_rewrite({::fileno(in.get()), ws.settings}, {::fileno(out.get()), "memory"},
                          record, settings_plain_parts{}, settings_value_max, &err),
          "rewrite");
    after = slurp_fd(::fileno(out.get()));
    // The plain parts the load found, copied as they stand, change nothing.
    file_stream again(::fdopen(::memfd_create("rewritten", 0), "w+"));
    check(static_cast<bool>(again), "stream");
    check(section_rewrite({::fileno(in.get()), ws.settings}, {::fileno(again.get()), "memory"},
                          record, plain, settings_value_max, &err),
          "rewrite after the plain parts");
    check(slurp_fd(::fileno(again.get())) == after, "the plain parts copied as they stand");
  }
  // Now and then the whole run (lock, cp, load, new file, rename), which must
  // make the same file; it starts a process, so not on every input. The lock
  // file must be root's, so only as root.
  static unsigned inputs = 0;
  if (++inputs % 64 == 0 && ::geteuid() == 0) {
    {
      std::ofstream out(ws.text, std::ios::binary | std::ios::trunc);
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    const std::string program = "tal-setconf-" + std::string(token);
    const std::array<const char*, 2> argv{program.c_str(), ws.text.c_str()};
    check(section_store(2, argv.data(), ws.paths, {}).status == exit_stored, "section stored");
    check(slurp(ws.settings) == after, "stored file equals the rewrite");
    check(!std::filesystem::exists(ws.working_copy), "working copy removed");
  }
  {
    std::ofstream out(ws.settings, std::ios::binary | std::ios::trunc);
    out.write(after.data(), static_cast<std::streamsize>(after.size()));
  }

  // Kept lines in order around one whole block.
  const std::string pattern = section_pattern(record.key_infix);
  std::vector<std::string_view> head, tail;
  bool seen = false;
  for (const auto raw : raw_lines(content)) {
    const std::string_view line = raw.substr(0, raw.find('\r'));
    if (belongs(line, pattern)) {
      seen = true;
    } else {
      (seen ? tail : head).push_back(line);
    }
  }
  check(after.empty() || after.back() == '\n', "last line ends in a line feed");
  const auto out = raw_lines(after);
  check(out.size() == head.size() + rows.size() + tail.size(), "line count");
  for (std::size_t i = 0; i < head.size(); ++i) {
    check(out[i] == head[i], "kept line before the block");
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string_view line = out[head.size() + i];
    check(line.starts_with(section_row_key(*rows[i], record.key_infix) + "="), "block row order");
    check(belongs(line, pattern), "block row belongs to the section");
  }
  for (std::size_t i = 0; i < tail.size(); ++i) {
    check(out[head.size() + rows.size() + i] == tail[i], "kept line after the block");
  }

  // What was written reads back. A kept line before the block that holds a
  // block key in another case is read first; it was first before too, so
  // only the replaced text can differ.
  std::string before_block;
  for (const auto line : head) {
    before_block.append(line).append("\n");
  }
  section_record reread;
  reread.section = record.section;
  reread.key_infix = record.key_infix;
  reread.kind = kind;
  file = settings_open(ws.settings.c_str(), "r");
  settings_plain_parts reread_plain;
  check(file && section_load({::fileno(file.get()), ws.settings}, &reread, &reread_plain, &err),
        "reload");
  for (const catalogue_row* row : rows) {
    const std::string key = section_row_key(*row, record.key_infix);
    switch (row->value) {
      case value_kind::string: {
        // Cut once, by the store that wrote it; one on a kept line stays whole.
        const std::string_view was = section_row_text(record, *row);
        check(section_row_text(reread, *row) ==
                  (settings_find(before_block, key) ? was : was.substr(0, settings_value_max)),
              "text value");
        break;
      }
      case value_kind::conf:
        if (!settings_find(before_block, key)) {
          check(section_row_text(reread, *row) == base64_encode_alloc(record.conf), "conf value");
        }
        break;
      case value_kind::boolean:
        check((section_row_number(reread, *row) != 0) == (section_row_number(record, *row) != 0),
              "bool value");
        break;
      case value_kind::uint:
      case value_kind::uint_or_empty:
        check(section_row_number(reread, *row) == section_row_number(record, *row), "number");
        break;
    }
  }

  // The same text stored again makes the same file.
  reread.conf = text;
  file_stream second(::fdopen(::memfd_create("again", 0), "w+"));
  check(file && second, "streams");
  check(section_rewrite({::fileno(file.get()), ws.settings}, {::fileno(second.get()), "memory"},
                        reread, settings_plain_parts{}, settings_value_max, &err),
        "second rewrite");
  check(slurp_fd(::fileno(second.get())) == after, "a second store changes nothing");
  return 0;
}
