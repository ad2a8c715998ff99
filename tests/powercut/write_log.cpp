#include "powercut/write_log.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>

#include "sys/failure.h"

namespace {

// A little-endian number of size bytes; reads no byte past them.
std::uint64_t little_endian(const unsigned char* bytes, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) {
    value = (value << 8U) | bytes[i];
  }
  return value;
}

std::uint64_t le64(const unsigned char* bytes) {
  return little_endian(bytes, 8);
}

std::uint32_t le32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(little_endian(bytes, 4));
}

// Reads exactly size bytes at offset; a short read is the log cut short.
bool read_at(int fd, std::uint64_t offset, unsigned char* into, std::size_t size,
             std::string* err) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, into + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      *err = os_error("reading the log at byte " + std::to_string(offset + done));
      return false;
    }
    if (got == 0) {
      *err = "the log ends at byte " + std::to_string(offset + done) + ", inside an entry";
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

constexpr std::size_t entry_header_size = 32;

}  // namespace

bool image_size(int fd, std::uint64_t* size, std::string* err) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *err = os_error("cannot stat");
    return false;
  }
  if (!S_ISBLK(st.st_mode)) {
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }
  if (::ioctl(fd, BLKGETSIZE64, size) != 0) {
    *err = os_error("cannot read the size of the block device");
    return false;
  }
  return true;
}

bool write_log_read(int fd, write_log* log, std::string* err) {
  std::uint64_t log_size = 0;
  if (!image_size(fd, &log_size, err)) {
    *err = "the log: " + *err;
    return false;
  }
  std::array<unsigned char, 28> super{};
  if (!read_at(fd, 0, super.data(), super.size(), err)) {
    return false;
  }
  if (le64(&super[0]) != write_log_magic) {
    *err = "no log-writes super block at byte 0";
    return false;
  }
  if (le64(&super[8]) != write_log_version) {
    *err = "log version " + std::to_string(le64(&super[8])) + ", not 1";
    return false;
  }
  const std::uint64_t count = le64(&super[16]);
  const std::uint32_t sector = le32(&super[24]);
  if (sector < 512 || sector > 65536 || (sector & (sector - 1)) != 0) {
    *err = "sector size " + std::to_string(sector) + " in the log's super block";
    return false;
  }
  // Every entry takes at least one sector: a larger count is a damaged super.
  if (count > log_size / sector) {
    *err = "the super block counts " + std::to_string(count) + " entries, more than the " +
           std::to_string(log_size) + "-byte log can hold";
    return false;
  }
  log->sector_size = sector;
  log->entries.clear();
  log->entries.reserve(count);
  std::vector<unsigned char> header(sector);
  std::uint64_t at = sector;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!read_at(fd, at, header.data(), header.size(), err)) {
      return false;
    }
    log_entry entry;
    const std::uint64_t first = le64(&header[0]);
    const std::uint64_t sectors = le64(&header[8]);
    entry.flags = le64(&header[16]);
    const std::uint64_t data_length = le64(&header[24]);
    const std::string where = "entry " + std::to_string(i) + " at byte " + std::to_string(at);
    if ((entry.flags & log_mark) != 0) {
      if (data_length > sector - entry_header_size) {
        *err = where + ": a mark of " + std::to_string(data_length) + " bytes";
        return false;
      }
      entry.mark.assign(reinterpret_cast<const char*>(&header[entry_header_size]), data_length);
    } else if (data_length != 0) {
      // The target logs its own data only for marks.
      *err = where + ": inline data that is not a mark";
      return false;
    }
    if (sectors > log_size / sector || first > UINT64_MAX / sector - sectors) {
      *err = where + ": " + std::to_string(sectors) + " sectors at sector " + std::to_string(first);
      return false;
    }
    entry.device_offset = first * sector;
    entry.length = (entry.flags & log_mark) != 0 ? 0 : sectors * sector;
    at += sector;
    if ((entry.flags & log_discard) == 0 && entry.length > 0) {
      entry.data_offset = at;
      at += entry.length;
      if (at > log_size) {
        *err = where + ": its data runs past the end of the log";
        return false;
      }
    }
    log->entries.push_back(std::move(entry));
  }
  return true;
}
