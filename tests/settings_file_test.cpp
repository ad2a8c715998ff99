// The settings line format: numbers, the lookup of keys, and the writers.
#include "settings/settings_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scratch_dir.h"
#include "settings_key_reader.h"
#include "tool/tool_limits.h"

namespace {

// What the one pass finds for each of keys in a file holding text. The pass
// takes apart only the lines that hold its marker: each line and each key
// gets "ZZ" before it, the marker here, so that every line is looked at.
std::vector<std::optional<std::string>> find_all(std::string_view text,
                                                 const std::vector<std::string>& keys) {
  std::string marked = "ZZ";
  for (const char c : text) {
    marked += c;
    if (c == '\n') {
      marked += "ZZ";
    }
  }
  std::vector<std::string> marked_keys;
  for (const auto& key : keys) {
    marked_keys.push_back("ZZ" + key);
  }
  scratch_dir dir;
  write_file(dir / "settings", marked);
  const unique_fd in(::open((dir / "settings").c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(in);
  std::vector<std::optional<std::string>> values(keys.size());
  std::string err;
  settings_plain_parts plain;
  EXPECT_TRUE(settings_find_all({in.get(), "settings"}, marked_keys, values, {'Z', 'Z', true},
                                &plain, &err));
  EXPECT_EQ(err, "");
  return values;
}

std::string written(void (*write)(std::string&)) {
  std::string out;
  write(out);
  return out;
}

}  // namespace

TEST(SettingsParseUint, ReadsAsPercentUOnA64BitCLibrary) {
  const struct {
    std::string_view text;
    std::uint32_t number;
  } cases[] = {
      {"42", 42},
      {" \t\v\f7x", 7},
      {"+5", 5},
      {"-1", 4294967295U},
      {"-0", 0},
      {"1.2.3.4", 1},
      {"abc", 0},
      {"", 0},
      {"- 5", 0},
      {"+-5", 0},
      {"0x10", 0},
      {{"12\0003", 4}, 12},
      // Converted in 64 bits, then cut to 32.
      {"4294967296", 0},
      {"-4294967295", 1},
      {"18446744069414584320", 0},
      {"18446744073709551615", 4294967295U},
      {"-18446744073709551615", 1},
      // Past 64 bits: saturated, whatever the sign.
      {"18446744073709551616", 4294967295U},
      {"-18446744073709551616", 4294967295U},
      {"99999999999999999999999", 4294967295U},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(settings_parse_uint(c.text), c.number) << testing::PrintToString(c.text);
    // The C library's own "%u", which the fuzz target's reference reads with.
    EXPECT_EQ(settings_scan_uint(c.text), c.number) << testing::PrintToString(c.text);
  }
}

TEST(SettingsFindAll, QuotesCaseAndTheEndsOfALine) {
  constexpr std::string_view keys =
      "# K is a comment without an equals sign\n"
      "K =blank before\n"
      "k=lower\r\n"
      "K=second\n"
      "KS=longer\n";
  const struct {
    std::string_view text;
    std::string_view key;
    std::optional<std::string> value;
  } cases[] = {
      {"TWO=\"two words\"\n", "TWO", "two words"},
      {"PLAIN=value\n", "PLAIN", "value"},
      {"QUOTED=\"single\"\n", "QUOTED", "single"},
      {"EMPTY=\n", "EMPTY", ""},
      {"A=b=c\n", "A", "b=c"},
      // The text ends at its last quote, wherever that stands.
      {"INNER=a\"b\"c\n", "INNER", "a\"b"},
      {"BLANKS=\"say \"hi\" there\"\n", "BLANKS", "say \"hi\" there"},
      {"LEADING=\"x\n", "LEADING", ""},
      {"K\"=v\n", "K\"", std::nullopt},
      // Keys match without regard to case, over the whole key; the first
      // line wins.
      {keys, "K", "lower"},
      {keys, "K ", "blank before"},
      {keys, "MISSING", std::nullopt},
      // Only A to Z fold: not other bytes, nor a byte that differs from the
      // key's in bit 0x20 alone.
      {"K\xc3\xa9Y=1\n", "K\xc3\x89Y", std::nullopt},
      {"MOD\x7fTAL=1\n", "MOD_TAL", std::nullopt},
      // A line's text ends at a carriage return and at a NUL byte.
      {"K=a\rb\n", "K", "a"},
      {"K\r=a\nK=b\n", "K", "b"},
      {{"K=ab\0cd\n", 8}, "K", "ab"},
      {{"K\0=ab\nK=cd\n", 11}, "K", "cd"},
      {"A=1\nLAST=no line feed", "LAST", "no line feed"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(find_all(c.text, {std::string(c.key)})[0], c.value) << testing::PrintToString(c.text);
    // The reference the fuzz target holds the one pass to reads the same.
    EXPECT_EQ(settings_find(c.text, c.key), c.value) << testing::PrintToString(c.text);
  }
}

TEST(SettingsFindAll, EachKeyTakesItsFirstLine) {
  // A key's later lines count for nothing.
  const auto values = find_all("A=1\na=3\nA=4\nB=2\n", {"a", "B", "C"});
  EXPECT_EQ(values[0], "1");
  EXPECT_EQ(values[1], "2");
  EXPECT_FALSE(values[2].has_value());
}

TEST(SettingsFindAll, LongLinesAreReadWholeAndNoPieceIsTakenForAKey) {
  for (const std::size_t length : {16383U, 16384U, 100000U, 300000U}) {
    // The tail of the long value looks like a key line of its own.
    std::string value(length, 'v');
    value.replace(length - 10, 10, "TAIL=fake");
    const auto values = find_all("LONG=" + value + "\nTAIL=real\n", {"LONG", "TAIL"});
    EXPECT_EQ(values[0], value) << length;
    EXPECT_EQ(values[1], "real") << length;
  }
}

TEST(SettingsFindAll, AgreesWithTheReferenceAcrossBlockBoundaries) {
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
  const auto values = find_all(text, keys);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    ASSERT_TRUE(values[i].has_value()) << i;
    EXPECT_EQ(values[i], settings_find(text, keys[i])) << i;
  }
  EXPECT_EQ(values.back().value_or(""), "no line feed");
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
            "S=\"two words\"\nQ=\"a\"b\"\nT=tab\there\nE=\nU=\nF=0\nN=4294967295\nB=1\nZ=0\n");

  const std::string cut = written([](std::string& out) {
    settings_write_string(out, "L", std::string(16001, 'x'), settings_value_max);
    settings_write_string(out, "M", std::string(16000, 'y') + " tail", settings_value_max);
  });
  EXPECT_EQ(cut, "L=" + std::string(16000, 'x') + "\nM=" + std::string(16000, 'y') + "\n");
  // Quoted after the cut: the field may hold 16002 characters.
  EXPECT_EQ(written([](std::string& out) {
              settings_write_string(out, "Q", std::string(15999, 'q') + "\"tail",
                                    settings_value_max);
            }),
            "Q=\"" + std::string(15999, 'q') + "\"\"\n");
}

TEST(SettingsWrite, WhatIsWrittenReadsBack) {
  std::string out;
  settings_write_string(out, "S", "two words", settings_value_max);
  settings_write_string(out, "Q", "a\"b\"c", settings_value_max);
  settings_write_string(out, "R", "\"lead", settings_value_max);
  settings_write_uint(out, "U", 0, false);
  settings_write_uint(out, "N", 4294967295U, false);
  const auto values = find_all(out, {"S", "Q", "R", "U", "N"});
  EXPECT_EQ(values[0], "two words");
  EXPECT_EQ(values[1], "a\"b\"c");
  EXPECT_EQ(values[2], "\"lead");
  EXPECT_EQ(settings_parse_uint(values[3].value_or("-")), 0U);
  EXPECT_EQ(settings_parse_uint(values[4].value_or("-")), 4294967295U);
}
