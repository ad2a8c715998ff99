#include "settings/settings_line.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "sys/failure.h"
#include "sys/text.h"

namespace {

// The usual block, and the most read in one step while the block grows for
// a long line: reading further ahead would fill memory the line does not need.
// The fuzzing build makes it small, so that its inputs of a few KiB cross
// many block boundaries.
constexpr std::size_t page = 4096;

#ifdef TAL_FUZZ_BLOCK_STEP
constexpr std::size_t block_step = TAL_FUZZ_BLOCK_STEP;
#else
constexpr std::size_t block_step = std::size_t{1} << 16;
#endif

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
  return true;
}

// Reads more bytes behind the unfinished line at the front of the block.
void fill(settings_line_reader& reader) {
  const std::size_t unread = reader.end - reader.begin;
  if (reader.begin > 0) {
    std::memmove(reader.block.get(), reader.block.get() + reader.begin, unread);
    reader.begin = 0;
    reader.end = unread;
  }
  if (reader.end == reader.capacity && !grow(reader)) {
    return;
  }
  const std::size_t room = reader.capacity - reader.end;
  std::size_t want = reader.capacity > block_step ? std::min(room, block_step) : room;
  // Whole pages keep every read on a page boundary of the file.
  if (want > page) {
    want -= want % page;
  }
  if (reader.left >= 0) {
    want = static_cast<std::size_t>(std::min(static_cast<off_t>(want), reader.left));
    if (want == 0) {
      reader.at_end = true;
      return;
    }
  }
  ssize_t got = 0;
  do {
    got = ::pread(reader.in.fd, reader.block.get() + reader.end, want, reader.offset);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    reader.at_end = true;
    reader.error = got < 0 ? errno : 0;
    return;
  }
  reader.end += static_cast<std::size_t>(got);
  reader.offset += got;
  if (reader.left >= 0) {
    reader.left -= got;
  }
}

// Sixteen bytes as one value: GCC and Clang make this SSE2 on x86-64 and
// NEON on AArch64, with no instruction the router's CPU might lack.
using bytes16 = unsigned char __attribute__((vector_size(16)));
using words2 = std::uint64_t __attribute__((vector_size(16)));

bytes16 load16(const char* at) {
  bytes16 bytes;
  std::memcpy(&bytes, at, sizeof bytes);
  return bytes;
}

bytes16 splat(unsigned char byte) {
  return bytes16{} + byte;
}

bool any(bytes16 mask) {
  const auto words = reinterpret_cast<words2>(mask);
  return (words[0] | words[1]) != 0;
}

// Where in the 16 positions from at the pair stands, if anywhere.
template <bool folded>
bytes16 pair_hits(const char* at, bytes16 first, bytes16 second) {
  const bytes16 fold = splat(folded ? 0x20 : 0);
  if constexpr (folded) {
    return ((load16(at) | fold) == first) & ((load16(at + 1) | fold) == second);
  } else {
    return (load16(at) == first) & (load16(at + 1) == second);
  }
}

std::size_t first_hit(bytes16 hits) {
  std::size_t i = 0;
  while (hits[i] == 0) {
    ++i;
  }
  return i;
}

// Four steps of 16 at a time, tested together: the loop's own work is then a
// small part of each byte's, about half of what one step at a time costs
// (doc/benchmark.md).
template <bool folded>
std::size_t find_pair(std::string_view text, std::size_t from, const settings_pair_marker& marker) {
  const unsigned char fold = folded ? 0x20 : 0;
  const auto first = static_cast<unsigned char>(static_cast<unsigned char>(marker.first) | fold);
  const auto second = static_cast<unsigned char>(static_cast<unsigned char>(marker.second) | fold);
  const bytes16 first16 = splat(first);
  const bytes16 second16 = splat(second);
  const char* const data = text.data();
  std::size_t at = from;
  // A step compares 16 positions and the byte after each: 17 bytes.
  for (; at + 65 <= text.size(); at += 64) {
    const bytes16 a = pair_hits<folded>(data + at, first16, second16);
    const bytes16 b = pair_hits<folded>(data + at + 16, first16, second16);
    const bytes16 c = pair_hits<folded>(data + at + 32, first16, second16);
    const bytes16 d = pair_hits<folded>(data + at + 48, first16, second16);
    if (any(a | b | c | d)) {
      break;  // found below, 16 at a time
    }
  }
  for (; at + 17 <= text.size(); at += 16) {
    const bytes16 hits = pair_hits<folded>(data + at, first16, second16);
    if (any(hits)) {
      return at + first_hit(hits);
    }
  }
  for (; at + 1 < text.size(); ++at) {
    if ((static_cast<unsigned char>(data[at]) | fold) == first &&
        (static_cast<unsigned char>(data[at + 1]) | fold) == second) {
      return at;
    }
  }
  return text.size();
}

std::size_t find_pair(std::string_view text, std::size_t from, const settings_pair_marker& marker) {
  return marker.folded ? find_pair<true>(text, from, marker) : find_pair<false>(text, from, marker);
}

}  // namespace

settings_line_reader settings_line_reader_for(const named_fd& in, off_t from, off_t limit) {
  settings_line_reader reader;
  reader.in = in;
  reader.offset = from;
  reader.left = limit;
  return reader;
}

bool settings_read_lines(settings_line_reader& reader, std::string_view* lines, std::string* err) {
  for (;;) {
    const char* from = reader.block.get() + reader.begin;
    const std::size_t unread = reader.end - reader.begin;
    // Only the bytes read since the last look can hold the run's last line feed.
    if (const void* lf = unread > reader.scanned
                             ? ::memrchr(from + reader.scanned, '\n', unread - reader.scanned)
                             : nullptr) {
      const auto length = static_cast<std::size_t>(static_cast<const char*>(lf) - from) + 1;
      reader.begin += length;
      reader.scanned = 0;
      *lines = std::string_view(from, length);
      return true;
    }
    reader.scanned = unread;
    if (reader.at_end) {
      if (reader.error != 0) {
        *err = os_error("reading " + std::string(reader.in.path), reader.error);
        return false;
      }
      reader.begin = reader.end;
      reader.scanned = 0;
      *lines = std::string_view(from, unread);
      return true;
    }
    fill(reader);
  }
}

std::size_t settings_find_not_plain(std::string_view text, std::size_t from,
                                    const settings_pair_marker& marker) {
  // From past the end (after a last line without a line feed): nothing.
  if (from >= text.size()) {
    return text.size();
  }
  const std::size_t pair = find_pair(text, from, marker);
  // Only the bytes before the pair can hold an earlier carriage return: each
  // byte is searched once for each, however many lines are not plain.
  const void* cr = std::memchr(text.data() + from, '\r', pair - from);
  return cr != nullptr ? static_cast<std::size_t>(static_cast<const char*>(cr) - text.data())
                       : pair;
}

std::string_view settings_line_around(std::string_view text, std::size_t from, std::size_t at) {
  const void* before = ::memrchr(text.data() + from, '\n', at - from);
  const std::size_t start =
      before != nullptr
          ? static_cast<std::size_t>(static_cast<const char*>(before) - text.data()) + 1
          : from;
  const auto end = text.find('\n', at);
  return text.substr(start, (end == std::string_view::npos ? text.size() : end) - start);
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
