#include "settings_key_reader.h"

namespace {

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool next_line(std::FILE* file, std::string& line) {
  line.clear();
  int c = 0;
  while ((c = std::getc(file)) != EOF && c != '\n') {
    line.push_back(static_cast<char>(c));
  }
  return c != EOF || !line.empty();
}

}  // namespace

file_stream settings_open(const char* path, const char* mode) {
  return file_stream(std::fopen(path, mode));
}

std::optional<std::string> settings_find(std::FILE* file, std::string_view key) {
  std::string line;
  while (next_line(file, line)) {
    std::string_view text(line);
    text = text.substr(0, text.find('\r'));
    text = text.substr(0, text.find('\0'));
    text = text.substr(0, text.rfind('"'));
    const auto equals = text.find('=');
    if (equals != key.size()) {
      continue;
    }
    bool same = true;
    for (std::size_t i = 0; i < key.size(); ++i) {
      same = same && upper(text[i]) == upper(key[i]);
    }
    if (same) {
      std::string_view value = text.substr(equals + 1);
      return std::string(value.starts_with('"') ? value.substr(1) : value);
    }
  }
  return std::nullopt;
}

std::string settings_read_string(std::FILE* file, std::string_view key) {
  if (file == nullptr) {
    return {};
  }
  std::rewind(file);
  return settings_find(file, key).value_or(std::string());
}

std::uint32_t settings_read_uint(std::FILE* file, std::string_view key) {
  if (file == nullptr) {
    return 0;
  }
  std::rewind(file);
  const auto value = settings_find(file, key);
  unsigned number = 0;
  return value && std::sscanf(value->c_str(), "%u", &number) == 1 ? number : 0;
}
