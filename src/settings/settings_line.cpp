#include "settings/settings_line.h"

#include <sys/types.h>

#include <cstdio>
#include <cstring>

std::optional<std::string_view> settings_next_line(std::FILE* file, settings_line_buffer& buffer) {
  const ssize_t length = ::getline(&buffer.data, &buffer.capacity, file);
  if (length < 0) {
    return std::nullopt;
  }
  return std::string_view(buffer.data, static_cast<std::size_t>(length));
}

std::optional<std::string_view> settings_read_line(settings_line_reader& reader) {
  for (;;) {
    const char* from = reader.block.data() + reader.begin;
    const std::size_t unread = reader.end - reader.begin;
    if (const void* lf = std::memchr(from + reader.scanned, '\n', unread - reader.scanned)) {
      const auto length = static_cast<std::size_t>(static_cast<const char*>(lf) - from);
      reader.begin += length + 1;
      reader.scanned = 0;
      return std::string_view(from, length);
    }
    reader.scanned = unread;
    if (reader.at_end) {
      if (unread == 0) {
        return std::nullopt;
      }
      reader.begin = reader.end;
      reader.scanned = 0;
      return std::string_view(from, unread);
    }
    // Keep the unfinished line, at the front of a block with room to read.
    if (reader.begin > 0) {
      std::memmove(reader.block.data(), from, unread);
      reader.begin = 0;
      reader.end = unread;
      ++reader.generation;
    }
    if (reader.end == reader.block.size()) {
      reader.block.resize(reader.block.size() * 2);
      ++reader.generation;
    }
    const std::size_t got = std::fread(reader.block.data() + reader.end, 1,
                                       reader.block.size() - reader.end, reader.file);
    reader.end += got;
    reader.at_end = got == 0;
  }
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
