#include "safe/settings_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include "safe/file_attributes.h"
#include "safe/leftovers.h"
#include "sys/failure.h"
#include "sys/path_parts.h"

namespace {

constexpr std::string_view temp_tag = ".tal-setconf-";
constexpr std::string_view temp_suffix = "XXXXXX";

// ".settings.tal-setconf-": what the new files of the target start with.
std::string temp_prefix(const std::string& target) {
  std::string prefix(".");
  prefix.append(path_base(target)).append(temp_tag);
  return prefix;
}

// Why a read lease was refused, as an operator can act on it.
std::string lease_refused(int error) {
  switch (error) {
    case EINVAL:
      return "leases are switched off (fs.leases-enable) or its filesystem refuses them";
    case EACCES:
      return "the tool lacks CAP_LEASE and does not own it";
    default:
      return std::strerror(error);
  }
}

// The pauses of the wait for a writer that holds the settings open: short
// at first, for a writer that appends a line and closes, then up to 100 ms,
// so that a longer one costs few tries.
using clock_type = std::chrono::steady_clock;
constexpr std::chrono::milliseconds first_pause{1};
constexpr std::chrono::milliseconds longest_pause{100};

struct writer_wait_state {
  clock_type::time_point give_up;
  std::chrono::milliseconds pause = first_pause;
};

// Sleeps the next pause; false, without sleeping, once the wait is over.
bool pause_for_writer(writer_wait_state* wait) {
  const auto now = clock_type::now();
  if (now >= wait->give_up) {
    return false;
  }
  std::this_thread::sleep_for(std::min<clock_type::duration>(wait->pause, wait->give_up - now));
  wait->pause = std::min(wait->pause * 2, longest_pause);
  return true;
}

std::string held_open_text(const std::string& target, std::chrono::milliseconds wait) {
  return target + " was held open for writing by another process for " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait).count()) + " s";
}

// fsync, again when a signal broke in. False, with the reason in err.
bool sync_retrying(int fd, const std::string& what, std::string* err) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) {
      *err = os_error("syncing " + what);
      return false;
    }
  }
  return true;
}

std::string changed_text(const settings_replacement& replacement) {
  return replacement.target + " was changed by another process during the store";
}

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

enum class seen { unchanged, changed, cannot_tell };

// Whether the file at name in the directory is still the file the run read,
// unchanged: the same device and inode, size and modification time, and,
// unless an exchange has moved it since (which sets it), change time; and,
// when it was leased, the lease unbroken (while a break is pending it reads
// F_UNLCK). cannot_tell, with the reason in err, when that cannot be asked.
seen look_at(const settings_replacement& replacement, const std::string& name, bool exchanged,
             std::string* err) {
  struct stat now {};
  if (::fstatat(replacement.directory.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
    *err = os_error("cannot stat " + path_dir(replacement.target) + "/" + name);
    return seen::cannot_tell;
  }
  const struct stat& read = replacement.opened;
  if (now.st_dev != read.st_dev || now.st_ino != read.st_ino || now.st_size != read.st_size ||
      !same_time(now.st_mtim, read.st_mtim) ||
      (!exchanged && !same_time(now.st_ctim, read.st_ctim))) {
    return seen::changed;
  }
  if (replacement.leased) {
    const int lease = ::fcntl(replacement.old_file.get(), F_GETLEASE);
    if (lease < 0) {
      *err = os_error("cannot ask for the lease on " + replacement.target);
      return seen::cannot_tell;
    }
    if (lease != F_RDLCK) {
      return seen::changed;
    }
  }
  return seen::unchanged;
}

// Closes the settings file. The lease is let go first in so many words: a
// close releases it only once no child still shares the descriptor, and a
// writer waiting on it must not wait for that.
void release_settings(settings_replacement& replacement) {
  if (replacement.leased) {
    // Fails only when no lease is left to let go.
    static_cast<void>(::fcntl(replacement.old_file.get(), F_SETLEASE, F_UNLCK));
    replacement.leased = false;
  }
  replacement.old_file.reset();
}

}  // namespace

settings_replacement::~settings_replacement() {
  release_settings(*this);
  new_file.reset();
  if (!temp_path.empty()) {
    ::unlink(temp_path.c_str());
  }
}

bool settings_replace_open(const std::string& target, std::chrono::milliseconds writer_wait,
                           settings_replacement* made, std::string* err, warning_list& warnings) {
  settings_replacement& replacement = *made;
  replacement.target = target;
  // Only a regular file is settings: cp and every open block for ever on a
  // FIFO, and opening a device can act on it. So nothing else is opened.
  struct stat named {};
  if (::lstat(target.c_str(), &named) != 0) {
    *err = os_error("no settings file " + target);
    return false;
  }
  if (!S_ISREG(named.st_mode)) {
    *err = target + " is not a regular file";
    return false;
  }
  writer_wait_state wait{clock_type::now() + writer_wait};
  // O_NONBLOCK: a FIFO put there meanwhile must not hang the open (it is
  // refused below), and an open that meets another process's lease fails
  // with EWOULDBLOCK rather than wait for it unbounded: that writer is
  // waited for like one that holds the file open.
  for (;;) {
    replacement.old_file.reset(
        ::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (replacement.old_file || errno != EWOULDBLOCK) {
      break;
    }
    if (!pause_for_writer(&wait)) {
      *err = held_open_text(target, writer_wait);
      return false;
    }
  }
  if (!replacement.old_file) {
    *err = os_error("cannot open " + target);
    return false;
  }
  // A writer that takes no lock, opening the file to change it in place,
  // breaks the lease and waits for the run to let go; the run sees it. One
  // that has the file open for writing now (EAGAIN) is waited for: going on
  // unwatched would overwrite what it writes.
  for (;;) {
    if (::fcntl(replacement.old_file.get(), F_SETLEASE, F_RDLCK) == 0) {
      replacement.leased = true;
      break;
    }
    if (errno != EAGAIN) {
      warnings.push_back(target +
                         " could not be leased, so a change made to it in place by a writer that "
                         "takes no lock would not be seen: " +
                         lease_refused(errno));
      break;
    }
    if (!pause_for_writer(&wait)) {
      *err = held_open_text(target, writer_wait);
      return false;
    }
  }
  // Taken once leased: what a writer did while it was waited for is part of
  // what is read, and anything after it breaks the lease.
  struct stat& opened = replacement.opened;
  if (::fstat(replacement.old_file.get(), &opened) != 0) {
    *err = os_error("cannot stat " + target);
    return false;
  }
  if (!S_ISREG(opened.st_mode) || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
    *err = target + " was replaced while it was opened";
    return false;
  }
  if (opened.st_nlink > 1) {
    warnings.push_back(target + " has " + std::to_string(opened.st_nlink) +
                       " hard links; its other names keep the old content");
  }
  const std::string dir = path_dir(target);
  replacement.directory.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!replacement.directory) {
    *err = os_error("cannot open directory " + dir);
    return false;
  }
  return true;
}

bool settings_replace_begin(settings_replacement& replacement, std::string* err) {
  // mkostemp creates the file 0600: root's alone until commit.
  const std::string dir = path_dir(replacement.target);
  std::string temp =
      dir + (dir == "/" ? "" : "/") + temp_prefix(replacement.target) + std::string(temp_suffix);
  unique_fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) {
    *err = os_error("cannot create a new file in " + dir);
    return false;
  }
  replacement.temp_path = std::move(temp);
  replacement.new_file = std::move(fd);
  return true;
}

bool settings_replace_prepare(settings_replacement& replacement, std::string* err,
                              warning_list& warnings) {
  const int fd = replacement.new_file.get();
  struct stat old_status {};
  if (::fchmod(fd, 0) != 0) {
    *err = os_error("cannot take all access from " + replacement.temp_path);
    return false;
  }
  if (::fstat(replacement.old_file.get(), &old_status) != 0) {
    *err = os_error("cannot stat " + replacement.target);
    return false;
  }
  if (::fchown(fd, old_status.st_uid, old_status.st_gid) != 0) {
    *err = os_error("cannot give " + replacement.temp_path + " the owner of " + replacement.target);
    return false;
  }
  mode_t mode = old_status.st_mode & 07777;
  if (!file_attributes_copy(replacement.old_file.get(), fd, &mode, err, warnings)) {
    *err += " (new file " + replacement.temp_path + ")";
    return false;
  }
  if (::fchmod(fd, mode) != 0) {
    *err = os_error("cannot give " + replacement.temp_path + " the mode of " + replacement.target);
    return false;
  }
  if (!sync_retrying(fd, replacement.temp_path, err)) {
    return false;
  }
  // Never retried: Linux frees the descriptor even when close fails.
  if (::close(replacement.new_file.release()) != 0) {
    *err = os_error("closing " + replacement.temp_path);
    return false;
  }
  return true;
}

bool settings_replace_lease_held(const settings_replacement& replacement) {
  return !replacement.leased || ::fcntl(replacement.old_file.get(), F_GETLEASE) == F_RDLCK;
}

settings_commit settings_replace_commit(settings_replacement& replacement, std::string* err,
                                        warning_list& warnings) {
  const int dir = replacement.directory.get();
  const std::string temp = path_base(replacement.temp_path);
  const std::string target = path_base(replacement.target);
  // A change seen now needs nothing undone.
  switch (look_at(replacement, target, false, err)) {
    case seen::unchanged:
      break;
    case seen::changed:
      release_settings(replacement);
      *err = changed_text(replacement);
      return settings_commit::changed;
    case seen::cannot_tell:
      return settings_commit::failed;
  }
  if (::renameat2(dir, temp.c_str(), dir, target.c_str(), RENAME_EXCHANGE) == 0) {
    // The new file is in place, and what it displaced stands at temp. Not
    // known to be the file read, unchanged, it goes back.
    std::string why;
    const seen displaced = look_at(replacement, temp, true, &why);
    if (displaced != seen::unchanged) {
      if (displaced == seen::changed) {
        why = changed_text(replacement);
      }
      if (::renameat2(dir, temp.c_str(), dir, target.c_str(), RENAME_EXCHANGE) != 0) {
        *err = os_error(why + ", and putting the file there back failed") + "; it is at " +
               replacement.temp_path;
        replacement.temp_path.clear();  // not the run's to remove
        return settings_commit::failed;
      }
      release_settings(replacement);
      *err = why;
      return displaced == seen::changed ? settings_commit::changed : settings_commit::failed;
    }
  } else if (errno == EINVAL || errno == ENOSYS) {
    // No exchange on this filesystem (JFFS2, FUSE): a plain rename, right
    // after the checks above.
    if (::renameat(dir, temp.c_str(), dir, target.c_str()) != 0) {
      *err = os_error("renaming " + replacement.temp_path + " to " + replacement.target);
      return settings_commit::failed;
    }
    release_settings(replacement);
    replacement.temp_path.clear();
    return settings_commit::committed;
  } else {
    *err = os_error("renaming " + replacement.temp_path + " to " + replacement.target);
    return settings_commit::failed;
  }
  // In place, and the old file was the one read: let it go. Closed before it
  // is unlinked, the unlink frees it (see doc/benchmark.md).
  release_settings(replacement);
  const std::string displaced = std::exchange(replacement.temp_path, std::string());
  if (::unlinkat(dir, temp.c_str(), 0) != 0) {
    warnings.push_back(os_error("cannot remove the old settings file " + displaced) +
                       "; the next run removes it");
  }
  return settings_commit::committed;
}

bool settings_replace_sync_directory(settings_replacement& replacement, std::string* err) {
  return sync_retrying(replacement.directory.get(), "directory " + path_dir(replacement.target),
                       err);
}

bool settings_replace_remove_leftovers(const std::string& target, std::string* err) {
  return leftovers_remove(path_dir(target), temp_prefix(target), err);
}
