// The log line's body: printable, one line, bounded.
#include "sys/system_log.h"

#include <gtest/gtest.h>

#include <string>

TEST(SystemLog, EscapesEverythingThatCouldForgeALine) {
  EXPECT_EQ(system_log_escape("plain text: 1 = 1"), "plain text: 1 = 1");
  EXPECT_EQ(system_log_escape(std::string("a\nb\\c\x1b[31md\r\t\x7f\xff\0e", 17)),
            "a\\nb\\\\c\\x1b[31md\\r\\t\\x7f\\xff\\x00e");
}

TEST(SystemLog, LongBodiesAreCutBetweenEscapes) {
  EXPECT_EQ(system_log_body(std::string(480, 'a'), 480), std::string(480, 'a'));
  EXPECT_EQ(system_log_body(std::string(481, 'a'), 480), std::string(477, 'a') + "...");
  // 476 plain bytes leave room for no whole \x1b before the "...".
  const std::string body = system_log_body(std::string(476, 'a') + std::string(10, '\x1b'), 480);
  EXPECT_EQ(body, std::string(476, 'a') + "...");
  std::string escaped_lines;
  for (int i = 0; i < 238; ++i) {
    escaped_lines += "\\n";
  }
  EXPECT_EQ(system_log_body(std::string(300, '\n'), 480), escaped_lines + "...");
}
