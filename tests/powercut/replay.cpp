#include "powercut/replay.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "sys/failure.h"

std::vector<write_piece> entry_pieces(const write_log& log, std::size_t entry,
                                      std::uint64_t block) {
  const log_entry& e = log.entries[entry];
  std::vector<write_piece> pieces;
  if (!entry_writes(e)) {
    return pieces;
  }
  const bool zeros = (e.flags & log_discard) != 0;
  const bool whole = (e.flags & log_fua) != 0;
  std::uint64_t at = e.device_offset;
  const std::uint64_t end = e.device_offset + e.length;
  while (at < end) {
    const std::uint64_t next = whole ? end : std::min(end, (at / block + 1) * block);
    pieces.push_back(
        {entry, at, next - at, zeros ? 0 : e.data_offset + (at - e.device_offset), zeros});
    at = next;
  }
  return pieces;
}

bool apply_piece(int log_fd, int image_fd, const write_piece& piece, std::string* err) {
  std::array<char, 1 << 16> buffer{};
  std::uint64_t done = 0;
  while (done < piece.length) {
    const std::size_t step =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), piece.length - done));
    if (piece.zeros) {
      buffer.fill(0);
    } else {
      const ssize_t got =
          ::pread(log_fd, buffer.data(), step, static_cast<off_t>(piece.data_offset + done));
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got != static_cast<ssize_t>(step)) {
        *err = got < 0 ? os_error("reading the log")
                       : "the log ends inside entry " + std::to_string(piece.entry);
        return false;
      }
    }
    std::size_t written = 0;
    while (written < step) {
      const ssize_t put = ::pwrite(image_fd, buffer.data() + written, step - written,
                                   static_cast<off_t>(piece.device_offset + done + written));
      if (put < 0 && errno == EINTR) {
        continue;
      }
      if (put <= 0) {
        *err = os_error("writing the image at byte " +
                        std::to_string(piece.device_offset + done + written));
        return false;
      }
      written += static_cast<std::size_t>(put);
    }
    done += step;
  }
  return true;
}

bool apply_entry(int log_fd, int image_fd, const write_log& log, std::size_t entry,
                 std::string* err) {
  // Whole, so one piece however long.
  for (const write_piece& piece : entry_pieces(log, entry, UINT64_MAX)) {
    if (!apply_piece(log_fd, image_fd, piece, err)) {
      return false;
    }
  }
  return true;
}

std::vector<flush_interval> flush_intervals(const write_log& log) {
  std::vector<flush_interval> intervals;
  std::size_t first = 0;
  for (std::size_t i = 0; i < log.entries.size(); ++i) {
    if ((log.entries[i].flags & log_flush) != 0) {
      intervals.push_back({first, i});
      first = i + 1;
    }
  }
  if (first < log.entries.size()) {
    intervals.push_back({first, log.entries.size()});
  }
  return intervals;
}

std::vector<write_piece> reordered_subset(const write_log& log, flush_interval interval,
                                          std::mt19937_64& random) {
  std::vector<write_piece> pieces;
  for (std::size_t i = interval.first; i < interval.flush; ++i) {
    std::vector<write_piece> more = entry_pieces(log, i);
    pieces.insert(pieces.end(), more.begin(), more.end());
  }
  std::bernoulli_distribution coin(0.5);
  std::vector<bool> kept(pieces.size());
  std::size_t last_kept_entry = 0;
  bool any = false;
  for (std::size_t p = 0; p < pieces.size(); ++p) {
    kept[p] = coin(random);
    if (kept[p]) {
      last_kept_entry = pieces[p].entry;
      any = true;
    }
  }
  // A FUA write completed on the medium before anything logged after it.
  for (std::size_t p = 0; p < pieces.size(); ++p) {
    const bool fua = (log.entries[pieces[p].entry].flags & log_fua) != 0;
    if (any && fua && pieces[p].entry < last_kept_entry) {
      kept[p] = true;
    }
  }
  std::vector<write_piece> subset;
  for (std::size_t p = 0; p < pieces.size(); ++p) {
    if (kept[p]) {
      subset.push_back(pieces[p]);
    }
  }
  return subset;
}

std::vector<std::string> marks_before(const write_log& log, std::size_t end) {
  std::vector<std::string> marks;
  for (std::size_t i = 0; i < end && i < log.entries.size(); ++i) {
    if ((log.entries[i].flags & log_mark) != 0) {
      marks.push_back(log.entries[i].mark);
    }
  }
  return marks;
}
