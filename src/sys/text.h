// Small text rules the tool applies in several places, each written once.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

// A to Z for a to z, nothing else: keys and section names are ASCII, and no
// locale may change how they compare.
constexpr char ascii_upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string ascii_upper(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return ascii_upper(c); });
  return upper;
}

// The text up to its first NUL byte: texts and lines end there, as the C
// strings of the device's other tools do.
constexpr std::string_view text_before_nul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}
