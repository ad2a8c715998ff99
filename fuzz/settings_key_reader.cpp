#include "settings_key_reader.h"

namespace {

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

file_stream settings_open(const char* path, const char* mode) {
  return file_stream(std::fopen(path, mode));
}

std::optional<std::string> settings_find(std::string_view content, std::string_view key) {
  while (!content.empty()) {
    const auto lf = content.find('\n');
    std::string_view text = content.substr(0, lf);
    content = lf == std::string_view::npos ? std::string_view() : content.substr(lf + 1);
    text = text.substr(0, text.find('\r'));
    text = text.substr(0, text.find('\0'));
    text = text.substr(0, text.rfind('"'));
    if (text.find('=') != key.size()) {
      continue;
    }
    bool same = true;
    for (std::size_t i = 0; i < key.size(); ++i) {
      same = same && upper(text[i]) == upper(key[i]);
    }
    if (same) {
      const std::string_view value = text.substr(key.size() + 1);
      return std::string(value.starts_with('"') ? value.substr(1) : value);
    }
  }
  return std::nullopt;
}

std::uint32_t settings_scan_uint(std::string_view value) {
  unsigned number = 0;
  return std::sscanf(std::string(value).c_str(), "%u", &number) == 1 ? number : 0;
}
