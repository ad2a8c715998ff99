#include "section/section_rewrite.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "settings/base64.h"
#include "settings/settings_file.h"
#include "settings/settings_line.h"
#include "sys/failure.h"
#include "sys/fd_writer.h"
#include "sys/text.h"

namespace {

bool belongs_to_section(std::string_view text, std::string_view pattern) {
  text = text_before_nul(text);
  return text.find('=') != std::string_view::npos && text.find(pattern) != std::string_view::npos;
}

void write_row(std::string& block, const section_record& record, const catalogue_row& row,
               std::size_t value_max) {
  const std::string key = section_row_key(row, record.key_infix);
  switch (row.value) {
    case value_kind::string:
      settings_write_string(block, key, section_row_text(record, row), value_max);
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
      settings_write_string(block, key, base64_encode_alloc(section_row_text(record, row)),
                            value_max);
      return;
  }
}

// The section's lines, in catalogue order.
std::string section_block(const section_record& record, std::size_t value_max) {
  std::string block;
  for (const auto& row : section_catalogue()) {
    if (section_row_applies(row, record.kind)) {
      write_row(block, record, row, value_max);
    }
  }
  return block;
}

// The rewrite's markers. Its rule keeps a line as it stands, with its line
// feed, unless the line holds a carriage return (its text ends there) or
// belongs to the section, which needs the section's pattern in it. So only
// lines that hold a carriage return or the pattern's two bytes after
// "MOD_TAL_" (the first that tell one section's pattern from another's)
// are taken apart; the runs between them are copied in one piece.
struct rewrite {
  fd_writer out;
  std::string_view pattern;
  settings_pair_marker marker;
  const section_record& record;
  std::size_t value_max;
  bool block_written = false;
};

// The rule for one line, without its line feed: its text is kept, ended by
// one line feed, unless it belongs to the section; the section's block takes
// the place of its first line.
bool rewrite_line(rewrite& rewrite, std::string_view line, std::string* err) {
  const std::string_view text = settings_line_text(line);
  if (!belongs_to_section(text, rewrite.pattern)) {
    return fd_writer_add(rewrite.out, text, err) && fd_writer_add(rewrite.out, "\n", err);
  }
  if (rewrite.block_written) {
    return true;
  }
  rewrite.block_written = true;
  return fd_writer_add(rewrite.out, section_block(rewrite.record, rewrite.value_max), err);
}

// One run of whole lines from the reader: only the lines that are not plain
// are taken apart, the runs between them copied in one piece. Taking every
// line apart cost a large store about ten times the instructions
// (doc/benchmark.md).
bool rewrite_lines(rewrite& rewrite, std::string_view lines, std::string* err) {
  std::size_t at = 0;
  while (at < lines.size()) {
    const std::size_t hit = settings_find_not_plain(lines, at, rewrite.marker);
    if (hit >= lines.size()) {
      // Kept as they stand; a last line without a line feed gets one.
      return fd_writer_add(rewrite.out, lines.substr(at), err) &&
             (lines.back() == '\n' || fd_writer_add(rewrite.out, "\n", err));
    }
    const std::string_view line = settings_line_around(lines, at, hit);
    const auto line_start = static_cast<std::size_t>(line.data() - lines.data());
    if (!fd_writer_add(rewrite.out, lines.substr(at, line_start - at), err) ||
        !rewrite_line(rewrite, line, err)) {
      return false;
    }
    at = line_start + line.size() + 1;
  }
  return true;
}

}  // namespace

bool section_rewrite(const named_fd& in, const named_fd& out, const section_record& record,
                     const settings_plain_parts& plain, std::size_t value_max, std::string* err) {
  const std::string pattern = section_pattern(record.key_infix);
  rewrite rewrite{fd_writer_for(out), pattern, section_marker(pattern, false), record, value_max};
  // The parts the loader already read and found plain are copied by the
  // kernel, not read and searched again (see doc/benchmark.md).
  if (plain.start > 0 && !fd_writer_copy(rewrite.out, in.fd, 0, plain.start, err)) {
    return false;
  }
  const bool tail_known = plain.tail >= 0;
  settings_line_reader reader =
      settings_line_reader_for(in, plain.start, tail_known ? plain.tail - plain.start : -1);
  for (bool more = true; more;) {
    std::string_view lines;
    if (!settings_read_lines(reader, &lines, err) || !rewrite_lines(rewrite, lines, err)) {
      return false;
    }
    more = !lines.empty();
  }
  if (tail_known && reader.offset != plain.tail) {
    *err = std::string(in.path) + " ended before " + std::to_string(plain.tail) + " bytes";
    return false;
  }
  if (tail_known && plain.end > plain.tail &&
      !fd_writer_copy(rewrite.out, in.fd, plain.tail, plain.end - plain.tail, err)) {
    return false;
  }
  // No line of the section: its block goes at the end.
  return (rewrite.block_written ||
          fd_writer_add(rewrite.out, section_block(record, value_max), err)) &&
         fd_writer_flush(rewrite.out, err);
}
