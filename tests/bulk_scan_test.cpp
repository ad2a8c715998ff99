// The settings file is scanned in bulk: only lines around a marker are taken
// apart. Wherever such a line stands against the scanner's 16-byte steps,
// its 64-byte rounds and the 64 KiB read block, the outcome is the line
// rule's.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "section/section_load.h"
#include "section/section_rewrite.h"
#include "settings/base64.h"
#include "settings/settings_file.h"
#include "tool/tool_limits.h"

namespace {

// A descriptor holding text, its position left at the end: the load and the
// rewrite read at offsets of their own.
struct memory_file {
  int fd = ::memfd_create("settings", 0);
  explicit memory_file(std::string_view text = {}) {
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  memory_file(const memory_file&) = delete;
  memory_file& operator=(const memory_file&) = delete;
  ~memory_file() { ::close(fd); }
  std::string content() const {
    std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    EXPECT_EQ(::pread(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    return text;
  }
};

section_record ospf_record() {
  section_record record;
  record.section = "ospf";
  record.key_infix = "OSPF";
  record.kind = section_kind::generic;
  record.conf = "new";
  return record;
}

const std::string block =
    "MOD_TAL_OSPF_ENABLED=0\nMOD_TAL_OSPF_CONF=" + base64_encode_alloc("new") + "\n";

// A line of other settings that makes the next line start at offset at.
std::string filler(std::size_t at) {
  return at == 0 ? std::string() : std::string(at - 1, 'f') + "\n";
}

struct marked_line {
  std::string line;                 // without its line feed
  std::optional<std::string> kept;  // what the rewrite keeps of it; nothing: the section's
  std::string loaded;               // what MOD_TAL_OSPF_CONF loads from it alone
};

}  // namespace

TEST(BulkScan, AMarkedLineGetsTheLineRuleWhereverItStands) {
  const std::string nul("\0", 1);
  const std::vector<marked_line> lines{
      {"MOD_TAL_OSPF_CONF=b2xk", std::nullopt, "b2xk"},
      {"A=1\rMOD_TAL_OSPF_CONF=x", "A=1", ""},
      {"C=v" + nul + "MOD_TAL_OSPF_CONF=x", "C=v" + nul + "MOD_TAL_OSPF_CONF=x", ""},
      {"mod_tal_ospf_conf=lower", "mod_tal_ospf_conf=lower", "lower"},
      // Its carriage return brings it to the line rule, which matches the
      // section's pattern with its case: kept, cut at the return.
      {"mod_tal_ospf_conf=cr\rtail", "mod_tal_ospf_conf=cr", "cr"},
      {"Mod_Tal_Ospf_Conf=\"mixed case\"", "Mod_Tal_Ospf_Conf=\"mixed case\"", "mixed case"},
      {"# MOD_TAL_OSPF_CONF without an equals sign", "# MOD_TAL_OSPF_CONF without an equals sign",
       ""},
      {"D=OS os Os", "D=OS os Os", ""},
      {"MOD_TAL_OSPF6_CONF=other", "MOD_TAL_OSPF6_CONF=other", ""},
  };
  std::vector<std::size_t> places;
  for (std::size_t at = 0; at < 80; ++at) {
    places.push_back(at);
  }
  for (std::size_t at = 65536 - 40; at < 65536 + 8; ++at) {
    places.push_back(at);
  }
  for (const auto& marked : lines) {
    for (const std::size_t at : places) {
      for (const bool final_line_feed : {true, false}) {
        SCOPED_TRACE(testing::Message() << "line " << marked.line << " at " << at
                                        << (final_line_feed ? "" : ", no final line feed"));
        const std::string ending = final_line_feed ? "\n" : "";
        const memory_file in(filler(at) + marked.line + "\nZ=2" + ending);
        std::string err;
        section_record loaded = ospf_record();
        settings_plain_parts plain;
        ASSERT_TRUE(section_load({in.fd, "in"}, &loaded, &plain, &err)) << err;
        ASSERT_EQ(loaded.conf, marked.loaded);
        // The filler and the line after it are plain, once it ends: the
        // marked line is not.
        const auto marked_end = static_cast<off_t>(filler(at).size() + marked.line.size() + 1);
        ASSERT_EQ(plain.start, static_cast<off_t>(filler(at).size()));
        ASSERT_EQ(plain.tail, final_line_feed ? marked_end : marked_end + 3);
        ASSERT_EQ(plain.end, marked_end + static_cast<off_t>(3 + ending.size()));
        const std::string expected = marked.kept ? filler(at) + *marked.kept + "\nZ=2\n" + block
                                                 : filler(at) + block + "Z=2\n";
        // The plain parts copied as they stand, or read like the rest.
        for (const settings_plain_parts& copied : {plain, settings_plain_parts{}}) {
          const memory_file out;
          ASSERT_TRUE(section_rewrite({in.fd, "in"}, {out.fd, "out"}, ospf_record(), copied,
                                      settings_value_max, &err))
              << err;
          ASSERT_EQ(out.content(), expected);
        }
      }
    }
  }
}

TEST(BulkScan, ALineIsOneLineWhateverItsLengthOrEnd) {
  // A line longer than the block: its tail looks like a line of the section;
  // only the line's start counts. A marked last line without a line feed:
  // the search that follows it must stop at the end of the run.
  std::vector<std::string> files;
  for (const std::size_t length : {65535U, 65536U, 65537U, 200000U}) {
    files.push_back("LONG=" + std::string(length, 'v') +
                    "MOD_TAL_OSPF_CONF=fake\nMOD_TAL_OSPF_CONF=real\n");
  }
  files.push_back("MOD_TAL_OSPF_ENABLED=1\nMOD_TAL_OSPF_CONF=real");
  for (const auto& file : files) {
    SCOPED_TRACE(file.size());
    const memory_file in(file);
    const memory_file out;
    std::string err;
    section_record loaded = ospf_record();
    settings_plain_parts plain;
    ASSERT_TRUE(section_load({in.fd, "in"}, &loaded, &plain, &err)) << err;
    EXPECT_EQ(loaded.conf, "real");
    ASSERT_TRUE(section_rewrite({in.fd, "in"}, {out.fd, "out"}, ospf_record(), plain,
                                settings_value_max, &err))
        << err;
    EXPECT_EQ(out.content(), block);
  }
}
