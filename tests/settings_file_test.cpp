// The settings line format: lookup, readers and writers.
#include "settings/settings_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "settings_key_reader.h"
#include "tool/tool_limits.h"

namespace {

// A stream over text, as the settings file would be.
struct text_file {
  scratch_dir dir;
  file_stream file;

  explicit text_file(std::string_view text) {
    write_file(dir / "settings", text);
    file = settings_open((dir / "settings").c_str(), "r");
  }
  std::FILE* get() const { return file.get(); }
};

std::string written(void (*write)(std::string&)) {
  std::string out;
  write(out);
  return out;
}

// The one-pass lookup over a test file.
bool find_all(const text_file& f, std::span<const std::string> keys,
              std::span<std::optional<std::string>> values) {
  std::string err;
  const bool found =
      settings_find_all({::fileno(f.get()), "settings"}, keys, values, nullptr, nullptr, &err);
  EXPECT_EQ(err, "");
  return found;
}

}  // namespace

TEST(SettingsRead, QuotesAreTakenOffAndInnerQuotesCutAtTheLast) {
  text_file f(
      "TWO=\"two words\"\n"
      "PLAIN=value\n"
      "QUOTED=\"single\"\n"
      "INNER=a\"b\"c\n"
      "LEADING=\"x\n"
      "BLANKS=\"say \"hi\" there\"\n"
      "EMPTY=\n");
  EXPECT_EQ(settings_read_string(f.get(), "TWO"), "two words");
  EXPECT_EQ(settings_read_string(f.get(), "PLAIN"), "value");
  EXPECT_EQ(settings_read_string(f.get(), "QUOTED"), "single");
  EXPECT_EQ(settings_read_string(f.get(), "INNER"), "a\"b");
  EXPECT_EQ(settings_read_string(f.get(), "LEADING"), "");
  EXPECT_EQ(settings_read_string(f.get(), "BLANKS"), "say \"hi\" there");
  EXPECT_EQ(settings_read_string(f.get(), "EMPTY"), "");
}

TEST(SettingsRead, KeysMatchWithoutCaseOverTheWholeKeyAndTheFirstLineWins) {
  text_file f(
      "# MOD_TAL_X_NAME is a comment without an equals sign\n"
      "MOD_TAL_X_NAME =blank before\n"
      "mod_tal_x_name=lower\r\n"
      "MOD_TAL_X_NAME=second\n"
      "MOD_TAL_X_NAMES=longer\n");
  EXPECT_EQ(settings_read_string(f.get(), "MOD_TAL_X_NAME"), "lower");
  EXPECT_EQ(settings_read_string(f.get(), "MOD_TAL_X_NAME "), "blank before");
  EXPECT_EQ(settings_read_string(f.get(), "MOD_TAL_X_MISSING"), "");
  EXPECT_EQ(settings_read_uint(f.get(), "MOD_TAL_X_MISSING"), 0U);
  // Non-ASCII bytes are not folded.
  text_file g("K\xc3\xa9Y=1\n");
  EXPECT_EQ(settings_read_uint(g.get(), "K\xc3\x89Y"), 0U);
}

TEST(SettingsRead, NumbersReadAsPercentU) {
  text_file f(
      "A=42\nB= \t7x\nC=-1\nD=1.2.3.4\nE=abc\nF=+5\nG=\nH=4294967296\nI=99999999999999999999999\n");
  EXPECT_EQ(settings_read_uint(f.get(), "A"), 42U);
  EXPECT_EQ(settings_read_uint(f.get(), "B"), 7U);
  EXPECT_EQ(settings_read_uint(f.get(), "C"), 4294967295U);
  EXPECT_EQ(settings_read_uint(f.get(), "D"), 1U);
  EXPECT_EQ(settings_read_uint(f.get(), "E"), 0U);
  EXPECT_EQ(settings_read_uint(f.get(), "F"), 5U);
  EXPECT_EQ(settings_read_uint(f.get(), "G"), 0U);
  EXPECT_EQ(settings_read_uint(f.get(), "H"), 0U);
  EXPECT_EQ(settings_read_uint(f.get(), "I"), 4294967295U);
}

TEST(SettingsRead, LongLinesAreReadWholeAndNoPieceIsTakenForAKey) {
  for (const std::size_t length : {16383U, 16384U, 100000U, 300000U}) {
    // The tail of the long value looks like a key line of its own.
    std::string value(length, 'v');
    value.replace(length - 10, 10, "TAIL=fake");
    text_file f("LONG=" + value + "\nTAIL=real\n");
    EXPECT_EQ(settings_read_string(f.get(), "LONG"), value) << length;
    EXPECT_EQ(settings_read_string(f.get(), "TAIL"), "real") << length;
  }
}

TEST(SettingsRead, AValueEndsAtANulByteAndANullStreamGivesDefaults) {
  text_file f(std::string("K=ab\0cd\nN=12\0003\n", 16));
  EXPECT_EQ(settings_read_string(f.get(), "K"), "ab");
  EXPECT_EQ(settings_read_uint(f.get(), "N"), 12U);
  EXPECT_EQ(settings_read_string(nullptr, "K"), "");
  EXPECT_EQ(settings_read_uint(nullptr, "K"), 0U);
}

TEST(SettingsFind, DoesNotRewindAndFindAllKeepsFirstOccurrences) {
  text_file f("A=1\nB=2\nA=3\n");
  EXPECT_EQ(settings_find(f.get(), "B").value_or("-"), "2");
  EXPECT_EQ(settings_find(f.get(), "A").value_or("-"), "3");
  EXPECT_FALSE(settings_find(f.get(), "A").has_value());

  std::rewind(f.get());
  const std::string keys[] = {"a", "B", "C"};
  std::optional<std::string> values[3];
  ASSERT_TRUE(find_all(f, keys, values));
  EXPECT_EQ(values[0].value_or("-"), "1");
  EXPECT_EQ(values[1].value_or("-"), "2");
  EXPECT_FALSE(values[2].has_value());
}

TEST(SettingsWrite, QuotingCapsAndNumbers) {
  EXPECT_EQ(written([](std::string& out) {
              settings_write_string(out, "S", "two words", settings_value_max);
              settings_write_string(out, "Q", "a\"b", settings_value_max);
              settings_write_string(out, "T", "tab\there", settings_value_max);
              settings_write_string(out, "E", "", settings_value_max);
              settings_write_uint(out, "U", 0, false);
              settings_write_uint(out, "F", 0, true);
              settings_write_uint(out, "N", 4294967295U, false);
              settings_write_bool(out, "B", 7);
              settings_write_bool(out, "Z", 0);
            }),
            "S=\"two words\"\nQ=a\"b\nT=tab\there\nE=\nU=\nF=0\nN=4294967295\nB=1\nZ=0\n");

  const std::string cut = written([](std::string& out) {
    settings_write_string(out, "L", std::string(16001, 'x'), settings_value_max);
    settings_write_string(out, "M", std::string(16000, 'y') + " tail", settings_value_max);
  });
  EXPECT_EQ(cut, "L=" + std::string(16000, 'x') + "\nM=" + std::string(16000, 'y') + "\n");
}

TEST(SettingsWrite, WhatIsWrittenReadsBack) {
  scratch_dir dir;
  std::string out;
  settings_write_string(out, "S", "two words", settings_value_max);
  settings_write_string(out, "Q", "a\"b\"c", settings_value_max);
  settings_write_uint(out, "U", 0, false);
  write_file(dir / "s", out);
  file_stream in = settings_open((dir / "s").c_str(), "r");
  EXPECT_EQ(settings_read_string(in.get(), "S"), "two words");
  EXPECT_EQ(settings_read_string(in.get(), "Q"), "a\"b");  // cut at its last quote
  EXPECT_EQ(settings_read_uint(in.get(), "U"), 0U);
}

TEST(SettingsFindAll, AgreesWithTheRewindingReadersAcrossBlockBoundaries) {
  // Lines of many lengths, so that line ends fall on and around the reader's
  // block boundaries, and lines far longer than a block.
  std::string text;
  std::vector<std::string> keys;
  for (int i = 0; i < 150; ++i) {
    std::string key("K");
    key += std::to_string(i);
    text.append(key).append("=");
    text.append(static_cast<std::size_t>(i * 977 % 70000), static_cast<char>('a' + i % 26));
    text.append(i % 7 == 0 ? "\r\n" : "\n");
    if (i % 40 == 0) {
      text += std::string(200000, 'z') + "=tail\n";
    }
    keys.push_back(key);
  }
  keys.push_back(std::string(200000, 'z'));
  text += "LAST=no line feed";
  keys.push_back("LAST");
  text_file f(text);
  std::vector<std::optional<std::string>> values(keys.size());
  ASSERT_TRUE(find_all(f, keys, values));
  for (std::size_t i = 0; i < keys.size(); ++i) {
    ASSERT_TRUE(values[i].has_value()) << i;
    EXPECT_EQ(*values[i], settings_read_string(f.get(), keys[i])) << i;
  }
  EXPECT_EQ(values.back().value_or(""), "no line feed");
}
