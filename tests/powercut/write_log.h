// The log that the kernel's log-writes device-mapper target keeps of every
// write, flush, FUA write and discard that reached a block device, in the
// order they reached its medium (a write is logged only once a flush made it
// durable; a FUA write once it completed), with the marks user space sent
// in between.
//
// On the log device, in little endian:
//   byte 0             super: u64 magic, u64 version (1), u64 entry count,
//                      u32 sector size (the data device's logical block)
//   from sector 1 on   per entry, one sector that starts with u64 sector,
//                      u64 sector count, u64 flags, u64 data length (a
//                      mark's text follows in the same sector), then, except
//                      for a discard, the written data: sector count sectors.
// Sector numbers and counts are in units of the super's sector size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::uint64_t write_log_magic = 0x6a736677736872ULL;
inline constexpr std::uint64_t write_log_version = 1;

// Entry flags.
inline constexpr std::uint64_t log_flush = 1U << 0U;
inline constexpr std::uint64_t log_fua = 1U << 1U;
inline constexpr std::uint64_t log_discard = 1U << 2U;
inline constexpr std::uint64_t log_mark = 1U << 3U;
inline constexpr std::uint64_t log_metadata = 1U << 4U;

struct log_entry {
  std::uint64_t device_offset = 0;  // bytes from the start of the data device
  std::uint64_t length = 0;         // bytes written or discarded; 0 for a flush or mark
  std::uint64_t flags = 0;
  std::uint64_t data_offset = 0;  // where the written bytes lie in the log
  std::string mark;               // a mark's text
};

struct write_log {
  std::uint32_t sector_size = 0;
  std::vector<log_entry> entries;
};

// The size of the regular file or block device open at fd: in the guest
// the log and the disk as logging found it are read from their disks.
bool image_size(int fd, std::uint64_t* size, std::string* err);

// Reads the entries' headers and marks from the log device or image open at
// fd; the data stays in the log, found through data_offset. False, with the
// reason in err, for a log that is not one, is cut short or holds an entry
// this reader does not know.
bool write_log_read(int fd, write_log* log, std::string* err);

inline bool entry_writes(const log_entry& entry) {
  return entry.length > 0 && (entry.flags & log_mark) == 0;
}
