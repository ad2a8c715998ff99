#include "settings/settings_line.h"

#include <sys/types.h>

#include <cerrno>
#include <cstring>

#include "sys/text.h"

namespace {

// The usual block, and the most read in one step while the block grows for
// a long line: reading further ahead would fill memory the line does not need.
constexpr std::size_t block_step = std::size_t{1} << 16;

bool grow(settings_line_reader& reader) {
  const std::size_t capacity = reader.capacity == 0 ? block_step : reader.capacity * 2;
  // realloc, not a vector: new bytes are not zeroed, so pages are touched only
  // once a read fills them, and a large block is moved without a copy.
  void* larger = capacity > reader.capacity ? std::realloc(reader.block.get(), capacity) : nullptr;
  if (larger == nullptr) {
    reader.error = ENOMEM;
    reader.at_end = true;
    return false;
  }
  static_cast<void>(reader.block.release());
  reader.block.reset(static_cast<char*>(larger));
  reader.capacity = capacity;
  ++reader.generation;
  return true;
}

// Reads more bytes behind the unfinished line at the front of the block.
void fill(settings_line_reader& reader) {
  const std::size_t unread = reader.end - reader.begin;
  if (reader.begin > 0) {
    std::memmove(reader.block.get(), reader.block.get() + reader.begin, unread);
    reader.begin = 0;
    reader.end = unread;
    ++reader.generation;
  }
  if (reader.end == reader.capacity && !grow(reader)) {
    return;
  }
  const std::size_t room = reader.capacity - reader.end;
  const std::size_t want = reader.capacity > block_step ? std::min(room, block_step) : room;
  errno = 0;
  const std::size_t got = std::fread(reader.block.get() + reader.end, 1, want, reader.in.file);
  reader.end += got;
  if (got == 0) {
    reader.at_end = true;
    reader.error = std::ferror(reader.in.file) != 0 ? (errno != 0 ? errno : EIO) : 0;
  }
}

}  // namespace

settings_line_reader settings_line_reader_for(const named_stream& in) {
  settings_line_reader reader;
  reader.in = in;
  return reader;
}

bool settings_read_line(settings_line_reader& reader, std::optional<std::string_view>* line,
                        std::string* err) {
  for (;;) {
    const char* from = reader.block.get() + reader.begin;
    const std::size_t unread = reader.end - reader.begin;
    if (const void* lf = unread > reader.scanned
                             ? std::memchr(from + reader.scanned, '\n', unread - reader.scanned)
                             : nullptr) {
      const auto length = static_cast<std::size_t>(static_cast<const char*>(lf) - from);
      reader.begin += length + 1;
      reader.scanned = 0;
      *line = std::string_view(from, length);
      return true;
    }
    reader.scanned = unread;
    if (reader.at_end) {
      if (reader.error != 0) {
        *err = os_error("reading " + std::string(reader.in.path), reader.error);
        return false;
      }
      *line = unread == 0 ? std::nullopt : std::optional(std::string_view(from, unread));
      reader.begin = reader.end;
      reader.scanned = 0;
      return true;
    }
    fill(reader);
  }
}

void settings_needle_search(const settings_line_reader& reader, settings_needle& needle,
                            std::string_view line) {
  const char* end = reader.block.get() + reader.end;
  const void* hit = ::memmem(line.data(), static_cast<std::size_t>(end - line.data()),
                             needle.text.data(), needle.text.size());
  needle.at = hit != nullptr ? static_cast<const char*>(hit) : end;
  needle.generation = reader.generation;
  needle.valid = true;
}

std::string_view settings_line_text(std::string_view raw_line) {
  raw_line = raw_line.substr(0, raw_line.find('\r'));
  return raw_line.substr(0, raw_line.find('\n'));
}

std::optional<settings_pair> settings_split(std::string_view text) {
  text = text_before_nul(text);
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
