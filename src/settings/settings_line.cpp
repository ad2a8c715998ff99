#include "settings/settings_line.h"

#include <sys/types.h>

#include <cstdio>

std::optional<std::string_view> settings_next_line(std::FILE* file, settings_line_buffer& buffer) {
  const ssize_t length = ::getline(&buffer.data, &buffer.capacity, file);
  if (length < 0) {
    return std::nullopt;
  }
  return std::string_view(buffer.data, static_cast<std::size_t>(length));
}

std::string_view settings_line_text(std::string_view raw_line) {
  raw_line = raw_line.substr(0, raw_line.find('\r'));
  return raw_line.substr(0, raw_line.find('\n'));
}

std::optional<settings_pair> settings_split(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  if (const auto quote = text.rfind('"'); quote != std::string_view::npos) {
    text = text.substr(0, quote);
  }
  const auto equals = text.find('=');
  if (equals == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view value = text.substr(equals + 1);
  if (!value.empty() && value.front() == '"') {
    value.remove_prefix(1);
  }
  return settings_pair{text.substr(0, equals), value};
}
