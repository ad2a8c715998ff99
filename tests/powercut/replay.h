// Disk states a power cut can leave, made from a write log (write_log.h) on
// a copy of the disk as it was when logging began.
//
// A prefix of the log is the disk cut off after one entry. Between two
// flushes the drive holds the interval's writes in its cache, and a cut may
// leave any subset of them on the medium: a reordering applies such a
// subset. In one, a write may tear at every 4 KiB block; a FUA entry is whole
// or missing, and present whenever a later entry of the interval is; a
// discard reads back as zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "powercut/write_log.h"

inline constexpr std::uint64_t tear_block = 4096;

// A part of one entry's write that reaches the medium whole.
struct write_piece {
  std::size_t entry = 0;
  std::uint64_t device_offset = 0;
  std::uint64_t length = 0;
  std::uint64_t data_offset = 0;  // in the log; unused for zeros
  bool zeros = false;             // a discarded range
};

// The entry's write cut at the device's block boundaries (a FUA entry stays
// one piece); nothing for a mark or an empty flush.
std::vector<write_piece> entry_pieces(const write_log& log, std::size_t entry,
                                      std::uint64_t block = tear_block);

// Copies a piece from the log open at log_fd into the image open at image_fd.
bool apply_piece(int log_fd, int image_fd, const write_piece& piece, std::string* err);

bool apply_entry(int log_fd, int image_fd, const write_log& log, std::size_t entry,
                 std::string* err);

// The entries [first, flush) between two flushes: first follows the
// previous flush (or is 0), flush is the closing flush's index, or the
// entry count for writes no flush closed.
struct flush_interval {
  std::size_t first = 0;
  std::size_t flush = 0;
};

std::vector<flush_interval> flush_intervals(const write_log& log);

// One random subset of the interval's pieces that obeys the FUA rule, in log
// order.
std::vector<write_piece> reordered_subset(const write_log& log, flush_interval interval,
                                          std::mt19937_64& random);

// The marks in entries [0, end), in order.
std::vector<std::string> marks_before(const write_log& log, std::size_t end);
