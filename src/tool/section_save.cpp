#include "tool/section_save.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "process/run_program.h"
#include "settings/base64.h"
#include "settings/settings_file.h"
#include "settings/settings_line.h"
#include "tool/working_copy.h"

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

bool write_block(std::FILE* out, const section_record& record) {
  const section_kind kind = section_kind_of(record.section);
  bool written = true;
  for (const auto& row : section_catalogue()) {
    if (section_row_applies(row, kind)) {
      written = write_row(out, record, row) && written;
    }
  }
  return written;
}

struct copy_outcome {
  bool written = true;      // every kept line was handed to the stream whole
  bool at_section = false;  // stopped at a line of the section (head only)
};

// Where needle next occurs at or after a line, found by one search over the
// bytes read so far and reused for the lines before it: most lines hold
// neither the section's pattern nor a carriage return, and are not searched
// one by one.
struct lookahead {
  std::string_view needle;
  const char* at = nullptr;
  unsigned generation = 0;
  bool valid = false;
};

bool occurs_in(std::string_view line, lookahead& next, const settings_line_reader& reader) {
  if (!next.valid || next.generation != reader.generation || next.at < line.data()) {
    const char* end = settings_read_end(reader);
    const void* hit = ::memmem(line.data(), static_cast<std::size_t>(end - line.data()),
                               next.needle.data(), next.needle.size());
    next.at = hit != nullptr ? static_cast<const char*>(hit) : end;
    next.generation = reader.generation;
    next.valid = true;
  }
  return next.at < line.data() + line.size();
}

// Kept lines are gathered here and handed to the stream in large pieces: a
// library call per line would cost more than copying the line.
struct line_sink {
  std::FILE* out;
  std::vector<char> pending = std::vector<char>(std::size_t{1} << 16);
  std::size_t used = 0;
  bool written = true;
};

bool sink_flush(line_sink& sink) {
  sink.written =
      std::fwrite(sink.pending.data(), 1, sink.used, sink.out) == sink.used && sink.written;
  sink.used = 0;
  return sink.written;
}

void sink_line(line_sink& sink, std::string_view text) {
  if (sink.used + text.size() + 1 > sink.pending.size()) {
    sink_flush(sink);
  }
  if (text.size() + 1 > sink.pending.size()) {
    sink.written = std::fwrite(text.data(), 1, text.size(), sink.out) == text.size() &&
                   std::fputc('\n', sink.out) != EOF && sink.written;
    return;
  }
  std::memcpy(sink.pending.data() + sink.used, text.data(), text.size());
  sink.used += text.size();
  sink.pending[sink.used++] = '\n';
}

struct line_copier {
  settings_line_reader reader;
  std::string_view pattern;
  lookahead next_pattern{pattern};
  lookahead next_cr{"\r"};
};

// Copies lines from the reader to out up to the end of the file, leaving out
// the section's lines; with stop_at_section, stops at the first of them
// instead.
copy_outcome copy_lines(line_copier& copier, std::FILE* out, bool stop_at_section) {
  copy_outcome outcome;
  line_sink sink{out};
  while (const auto raw = settings_read_line(copier.reader)) {
    std::string_view text = *raw;
    if (occurs_in(text, copier.next_cr, copier.reader)) {
      text = settings_line_text(text);
    }
    if (occurs_in(text, copier.next_pattern, copier.reader) &&
        belongs_to_section(text, copier.pattern)) {
      if (stop_at_section) {
        outcome.at_section = true;
        break;
      }
      continue;
    }
    sink_line(sink, text);
  }
  outcome.written = sink_flush(sink);
  return outcome;
}

}  // namespace

bool section_rewrite(std::FILE* in, std::FILE* out, const section_record& record) {
  const std::string pattern = section_pattern(record.key_infix);
  line_copier copier{settings_line_reader_for(in), pattern};
  // Head: the lines before the section's first line, which is left out.
  const copy_outcome head = copy_lines(copier, out, true);
  // The section's block, in its first line's place or at the end.
  const bool block_written = write_block(out, record);
  // Tail: the rest, without the section's other lines.
  const copy_outcome tail = head.at_section ? copy_lines(copier, out, false) : copy_outcome{};
  return head.written && block_written && tail.written && std::ferror(in) == 0;
}

bool section_commit(settings_replacement& replacement, const tool_paths& paths) {
  if (!settings_replace_commit(replacement)) {
    return false;
  }
  if (::access(paths.hash_program, F_OK) == 0) {
    run_program(paths.hash_program, {paths.settings});
  }
  return true;
}

bool section_save(const section_record& record, const tool_paths& paths) {
  // Declared first, so it outlives the stream that writes through it.
  std::array<char, 1 << 16> out_buffer{};
  settings_replace_remove_leftovers(paths.settings);

  // 1. The working copy, made by cp, read back through our own descriptor.
  std::optional<working_copy> copy = working_copy_make(paths);
  if (!copy) {
    return false;
  }
  file_stream in(::fdopen(copy->fd.release(), "r"));
  if (!in) {
    return false;
  }

  // 2. The new settings file, beside the old one.
  std::optional<settings_replacement> replacement = settings_replace_begin(paths.settings);
  if (!replacement) {
    return false;
  }
  // A larger buffer only saves write calls; without it the default one serves.
  static_cast<void>(
      std::setvbuf(replacement->stream.get(), out_buffer.data(), _IOFBF, out_buffer.size()));

  // 3. The working copy's lines, with the section's block, into it.
  if (!section_rewrite(in.get(), replacement->stream.get(), record)) {
    return false;
  }

  // 4. In place, hashed; the working copy goes when copy leaves scope.
  const bool committed = section_commit(*replacement, paths);
  replacement.reset();
  return committed;
}
