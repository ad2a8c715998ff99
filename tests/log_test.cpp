// The one line each run leaves in the system log, read by a listener of the
// test's own mounted at /dev/log in the sandbox.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include <chrono>
#include <functional>
#include <regex>

#include "e2e_support.h"
#include "sys/file_handle.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view before = ospf_settings_before;

struct log_case {
  std::string name;
  std::function<void(const device_root&)> setup = [](const device_root&) {};
  std::string program = "tal-setconf-ospf";
  std::vector<std::string> args{"input.txt"};
  sandbox_env env{};
  int status = 0;
  int level = LOG_NOTICE;
  std::string ident{};
  std::vector<std::string> says{};  // texts the message must hold
};

std::string big_settings() {
  std::string text;
  for (int i = 0; text.size() < 600000; ++i) {
    text += "MOD_TAL_BGP_NEIGHBOR" + std::to_string(i) + "=\"10.0.0.1 remote-as 65000\"\n";
  }
  return text;
}

const std::string odd = "a\nb\\c\x1b";  // a newline, a backslash, an escape byte
const std::string odd_escaped = "a\\nb\\\\c\\x1b";

std::vector<log_case> cases() {
  return {
      {.name = "refused name",
       .program = "tal-setconf-pim",
       .status = 1,
       .level = LOG_ERR,
       .ident = "tal-setconf",
       .says = {"refused program name ./bin/tal-setconf-pim: its key pattern matches keys of "
                "pim_sm"}},
      {.name = "unreadable input",
       .args = {"bin"},
       .status = 1,
       .level = LOG_ERR,
       .ident = "tal-setconf-ospf",
       .says = {"cannot read bin: Is a directory"}},
      {.name = "closed standard input",
       .args = {"/dev/stdin"},
       .env = {{std::string(inherit_stdio_closed), ""}},
       .status = 1,
       .level = LOG_ERR,
       .ident = "tal-setconf-ospf",
       .says = {"/dev/stdin is a standard stream that was closed when the tool started"}},
      {.name = "text too long",
       .setup = [](const device_root& root) { root.input(std::string(13000, 't')); },
       .status = 1,
       .level = LOG_ERR,
       .ident = "tal-setconf-ospf",
       .says = {"configuration text is 13000 bytes; at most 12000 can be stored"}},
      {.name = "text longer than is read",
       .setup = [](const device_root& root) { root.input(std::string(20000, 't')); },
       .status = 1,
       .level = LOG_ERR,
       .ident = "tal-setconf-ospf",
       .says = {"configuration text is longer than 16383 bytes; at most 12000 can be stored"}},
      {.name = "a TZ that names a FIFO",
       // Nothing the run does may read the time zone: opening a FIFO with no
       // writer blocks for ever.
       .setup = [](const device_root& root) { ::mkfifo((root.dir / "opt/tz").c_str(), 0600); },
       .env = {{"TZ", "/opt/tz"}},
       .status = 0,
       .level = LOG_NOTICE,
       .ident = "tal-setconf-ospf",
       .says = {"stored section ospf: 4 bytes of configuration text"}},
      {.name = "cp missing",
       // Its interpreter is missing, so exec fails as for a missing program.
       .setup =
           [](const device_root& root) {
             write_file(root.dir / "cp-missing", "#!/nonexistent/sh\n");
             fs::permissions(root.dir / "cp-missing", fs::perms::owner_all);
           },
       .env = {{"SANDBOX_CP", "cp-missing"}},
       .status = 2,
       .level = LOG_ERR,
       .ident = "tal-setconf-ospf",
       .says = {"settings not updated: cannot run /bin/cp: No such file or directory"}},
      {.name = "cp fails",
       .setup = [](const device_root& root) { root.script("cp", "exit 1"); },
       .env = {{"SANDBOX_CP", "cp"}},
       .status = 2,
       .level = LOG_ERR,
       .ident = "tal-setconf-ospf",
       .says = {"settings not updated: /bin/cp exited with status 1"}},
      {.name = "disk full",
       .setup = [](const device_root& root) { root.set_settings(big_settings()); },
       .env = {{"SANDBOX_OPT_SIZE", "1m"}},
       .status = 2,
       .level = LOG_ERR,
       .ident = "tal-setconf-ospf",
       .says = {"settings not updated: writing /opt/tal/etc/.settings.tal-setconf-",
                ": No space left on device"}},
      {.name = "read-only settings directory",
       .setup = [](const device_root& root) { root.make_lock_file(); },
       .env = {{"SANDBOX_ETC", "ro"}},
       .status = 2,
       .level = LOG_ERR,
       .ident = "tal-setconf-ospf",
       .says = {"settings not updated: cannot create a new file in /opt/tal/etc: Read-only file "
                "system"}},
      {.name = "failing hash tool",
       .setup = [](const device_root& root) { root.install_hash_probe(); },
       .status = 0,
       .level = LOG_WARNING,
       .ident = "tal-setconf-ospf",
       .says = {"stored section ospf: 4 bytes of configuration text; hash tool: "
                "/sbin/hash_generate exited with status 1"}},
      {.name = "store",
       .status = 0,
       .level = LOG_NOTICE,
       .ident = "tal-setconf-ospf",
       .says = {"stored section ospf: 4 bytes of configuration text"}},
      {.name = "section without a text",
       .program = "tal-setconf-vrf1",
       .status = 0,
       .level = LOG_NOTICE,
       .ident = "tal-setconf-vrf1",
       .says = {"rewrote section vrf1 from its current values; no configuration text is stored"}},
      {.name = "odd file name",
       .args = {"in" + odd},
       .status = 1,
       .level = LOG_ERR,
       .ident = "tal-setconf-ospf",
       .says = {"cannot read in" + odd_escaped + ": No such file or directory"}},
      {.name = "odd program name",
       .program = "tal-setconf-" + odd,
       .status = 1,
       .level = LOG_ERR,
       .ident = "tal-setconf",
       .says = {"refused program name ./bin/tal-setconf-" + odd_escaped}},
  };
}

// "<priority>ident[pid]: body", all printable ASCII; the daemon adds the
// time stamp.
const std::regex line_shape(R"(<(\d+)>([ -~]+)\[\d+\]: ([ -~]*))");

}  // namespace

TEST(log, EachRunLeavesOneLineThatNamesItsCause) {
  SKIP_WITHOUT_SANDBOX();
  for (const auto& c : cases()) {
    SCOPED_TRACE(c.name);
    device_root root;
    root.set_settings(before);
    root.input("text");
    const log_listener listener(root.dir / "log.sock");
    c.setup(root);
    EXPECT_EQ(wait_exit_status_within(root.start_as(c.program, c.args, c.env), 20), c.status);
    EXPECT_EQ(root.outputs(), "");
    const auto messages = listener.messages();
    ASSERT_EQ(messages.size(), 1U);
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(messages[0], parts, line_shape)) << messages[0];
    EXPECT_EQ(std::stoi(parts[1]), LOG_USER | c.level) << messages[0];
    EXPECT_EQ(parts[2], c.ident);
    // Each text once: a run tells a thing once.
    for (const auto& text : c.says) {
      const auto at = parts[3].str().find(text);
      EXPECT_NE(at, std::string::npos) << messages[0];
      EXPECT_EQ(parts[3].str().find(text, at + 1), std::string::npos) << messages[0];
    }
    if (c.status != 0 && c.name != "disk full") {
      EXPECT_EQ(root.settings_content(), before);
    }
  }
}

TEST(log, AFullLogQueueDoesNotHoldARunUp) {
  SKIP_WITHOUT_SANDBOX();
  device_root root;
  root.set_settings(before);
  const log_listener listener(root.dir / "log.sock", 4096);
  listener.fill_queue();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(root.run_text("ospf", "text"), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(root.run("ospf", {"missing"}), 1);
  EXPECT_EQ(root.outputs(), "");
}

TEST(log, AStreamSocketGetsTheMessageEndedByANul) {
  SKIP_WITHOUT_SANDBOX();
  device_root root;
  root.set_settings(before);
  const log_listener listener(root.dir / "log.sock", 0, SOCK_STREAM);
  EXPECT_EQ(root.run_text("ospf", "text"), 0);
  const auto messages = listener.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_TRUE(std::regex_match(messages[0], line_shape)) << messages[0];
  EXPECT_NE(messages[0].find("stored section ospf: 4 bytes"), std::string::npos) << messages[0];
}
