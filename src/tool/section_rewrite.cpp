#include "tool/section_rewrite.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "settings/base64.h"
#include "settings/settings_file.h"
#include "settings/settings_line.h"
#include "sys/failure.h"
#include "sys/text.h"

namespace {

bool belongs_to_section(std::string_view text, std::string_view pattern) {
  text = text_before_nul(text);
  return text.find('=') != std::string_view::npos && text.find(pattern) != std::string_view::npos;
}

void write_row(std::string& block, const section_record& record, const catalogue_row& row) {
  const std::string key = section_row_key(row, record.key_infix);
  switch (row.value) {
    case value_kind::string:
      settings_write_string(block, key, section_row_text(record, row));
      return;
    case value_kind::boolean:
      settings_write_bool(block, key, section_row_number(record, row));
      return;
    case value_kind::uint:
      settings_write_uint(block, key, section_row_number(record, row), true);
      return;
    case value_kind::uint_or_empty:
      settings_write_uint(block, key, section_row_number(record, row), false);
      return;
    case value_kind::conf:
      settings_write_string(block, key, base64_encode_alloc(section_row_text(record, row)));
      return;
  }
}

// The section's lines, in catalogue order.
std::string section_block(const section_record& record) {
  std::string block;
  for (const auto& row : section_catalogue()) {
    if (section_row_applies(row, record.kind)) {
      write_row(block, record, row);
    }
  }
  return block;
}

bool write_all(const named_stream& out, std::string_view data, std::string* err) {
  errno = 0;
  if (std::fwrite(data.data(), 1, data.size(), out.file) != data.size()) {
    *err = os_error("writing " + std::string(out.path), errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

// Kept lines are gathered here and handed to the stream in large pieces: a
// library call per line costs more than copying the line. A store of a
// generic section into an 11 MB settings file of 40-byte lines counts 112 M
// instructions with it, 140 M with an fwrite per line (callgrind, dynamic
// Release build).
struct line_sink {
  const named_stream& out;
  std::unique_ptr<char[]> pending = std::make_unique_for_overwrite<char[]>(capacity);
  std::size_t used = 0;
  bool failed = false;
  static constexpr std::size_t capacity = std::size_t{1} << 16;
};

void sink_write(line_sink& sink, std::string_view data, std::string* err) {
  if (!sink.failed) {
    sink.failed = !write_all(sink.out, data, err);
  }
}

void sink_flush(line_sink& sink, std::string* err) {
  sink_write(sink, {sink.pending.get(), sink.used}, err);
  sink.used = 0;
}

void sink_line(line_sink& sink, std::string_view text, std::string* err) {
  if (sink.used + text.size() + 1 > line_sink::capacity) {
    sink_flush(sink, err);
  }
  if (text.size() + 1 > line_sink::capacity) {
    sink_write(sink, text, err);
    sink_write(sink, "\n", err);
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

// Copies lines from the reader to out up to the end of the file, leaving out
// the section's lines; with stop_at_section, stops at the first of them
// instead and says so in *at_section.
bool copy_lines(line_copier& copier, const named_stream& out, bool stop_at_section,
                bool* at_section, std::string* err) {
  line_sink sink{out};
  std::optional<std::string_view> raw;
  bool read = true;
  while ((read = settings_read_line(copier.reader, &raw, err)) && raw) {
    std::string_view text = *raw;
    if (settings_line_holds(copier.reader, copier.next_cr, text)) {
      text = settings_line_text(text);
    }
    if (settings_line_holds(copier.reader, copier.next_pattern, text) &&
        belongs_to_section(text, copier.pattern)) {
      if (stop_at_section) {
        *at_section = true;
        break;
      }
      continue;
    }
    sink_line(sink, text, err);
  }
  if (read) {
    sink_flush(sink, err);
  }
  return read && !sink.failed;
}

}  // namespace

bool section_rewrite(const named_stream& in, const named_stream& out, const section_record& record,
                     std::string* err) {
  const std::string pattern = section_pattern(record.key_infix);
  line_copier copier{settings_line_reader_for(in), pattern};
  // Head: the lines before the section's first line, which is left out.
  bool at_section = false;
  if (!copy_lines(copier, out, true, &at_section, err)) {
    return false;
  }
  // The section's block, in its first line's place or at the end.
  if (!write_all(out, section_block(record), err)) {
    return false;
  }
  // Tail: the rest, without the section's other lines.
  return !at_section || copy_lines(copier, out, false, &at_section, err);
}
