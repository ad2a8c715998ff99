#include "tool/section_rewrite.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "settings/base64.h"
#include "settings/settings_file.h"
#include "settings/settings_line.h"

namespace {

bool belongs_to_section(std::string_view text, std::string_view pattern) {
  text = text.substr(0, text.find('\0'));
  return text.find('=') != std::string_view::npos && text.find(pattern) != std::string_view::npos;
}

bool write_row(std::FILE* out, const section_record& record, const catalogue_row& row) {
  const std::string key = section_row_key(row, record.key_infix);
  switch (row.value) {
    case value_kind::string:
      return settings_write_string(out, key, section_row_text(record, row));
    case value_kind::boolean:
      return settings_write_bool(out, key, section_row_number(record, row));
    case value_kind::uint:
      return settings_write_uint(out, key, section_row_number(record, row), true);
    case value_kind::uint_or_empty:
      return settings_write_uint(out, key, section_row_number(record, row), false);
    case value_kind::conf:
      return settings_write_string(out, key, base64_encode_alloc(section_row_text(record, row)));
  }
  return false;
}

// 0, or the errno of the first row that could not be written.
int write_block(std::FILE* out, const section_record& record) {
  for (const auto& row : section_catalogue()) {
    errno = 0;
    if (section_row_applies(row, record.kind) && !write_row(out, record, row)) {
      return errno != 0 ? errno : EIO;
    }
  }
  return 0;
}

// Kept lines are gathered here and handed to the stream in large pieces: a
// library call per line would cost more than copying the line.
struct line_sink {
  std::FILE* out;
  std::unique_ptr<char[]> pending = std::make_unique_for_overwrite<char[]>(capacity);
  std::size_t used = 0;
  int error = 0;
  static constexpr std::size_t capacity = std::size_t{1} << 16;
};

void sink_write(line_sink& sink, const char* data, std::size_t size) {
  if (sink.error != 0) {
    return;
  }
  errno = 0;
  if (std::fwrite(data, 1, size, sink.out) != size) {
    sink.error = errno != 0 ? errno : EIO;
  }
}

void sink_flush(line_sink& sink) {
  sink_write(sink, sink.pending.get(), sink.used);
  sink.used = 0;
}

void sink_line(line_sink& sink, std::string_view text) {
  if (sink.used + text.size() + 1 > line_sink::capacity) {
    sink_flush(sink);
  }
  if (text.size() + 1 > line_sink::capacity) {
    sink_write(sink, text.data(), text.size());
    sink_write(sink, "\n", 1);
    return;
  }
  std::memcpy(sink.pending.get() + sink.used, text.data(), text.size());
  sink.used += text.size();
  sink.pending[sink.used++] = '\n';
}

struct line_copier {
  settings_line_reader reader;
  std::string_view pattern;
  settings_needle next_pattern{pattern};
  settings_needle next_cr{"\r"};
};

struct copy_outcome {
  int write_error = 0;
  bool at_section = false;  // stopped at a line of the section (head only)
};

// Copies lines from the reader to out up to the end of the file, leaving out
// the section's lines; with stop_at_section, stops at the first of them
// instead.
copy_outcome copy_lines(line_copier& copier, std::FILE* out, bool stop_at_section) {
  copy_outcome outcome;
  line_sink sink{out};
  while (const auto raw = settings_read_line(copier.reader)) {
    std::string_view text = *raw;
    if (settings_line_holds(copier.reader, copier.next_cr, text)) {
      text = settings_line_text(text);
    }
    if (settings_line_holds(copier.reader, copier.next_pattern, text) &&
        belongs_to_section(text, copier.pattern)) {
      if (stop_at_section) {
        outcome.at_section = true;
        break;
      }
      continue;
    }
    sink_line(sink, text);
  }
  sink_flush(sink);
  outcome.write_error = sink.error;
  return outcome;
}

}  // namespace

rewrite_result section_rewrite(std::FILE* in, std::FILE* out, const section_record& record) {
  const std::string pattern = section_pattern(record.key_infix);
  line_copier copier{settings_line_reader_for(in), pattern};
  rewrite_result result;
  // Head: the lines before the section's first line, which is left out.
  const copy_outcome head = copy_lines(copier, out, true);
  result.write_error = head.write_error;
  // The section's block, in its first line's place or at the end.
  if (result.write_error == 0) {
    result.write_error = write_block(out, record);
  }
  // Tail: the rest, without the section's other lines.
  if (result.write_error == 0 && head.at_section) {
    result.write_error = copy_lines(copier, out, false).write_error;
  }
  result.read_error = settings_read_error(copier.reader);
  return result;
}
