#include "safe/section_lock.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "sys/failure.h"
#include "sys/path_parts.h"

namespace {

using clock_type = std::chrono::steady_clock;

// The file path names, with no symbolic link left in its path.
bool resolve(const char* path, std::string* resolved, std::string* err) {
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path, nullptr), &std::free);
  if (!real) {
    *err = os_error("no settings file " + std::string(path));
    return false;
  }
  *resolved = real.get();
  return true;
}

bool still_resolves_to(const char* path, const std::string& target) {
  std::string now;
  std::string ignored;  // a path that no longer resolves names target no more
  return resolve(path, &now, &ignored) && now == target;
}

// ".settings.lock" beside "/opt/tal/etc/settings".
std::string lock_path_for(const std::string& target) {
  const std::string dir = path_dir(target);
  return dir + (dir == "/" ? "." : "/.") + path_base(target) + ".lock";
}

// Whether the lock file lies on a filesystem that gives every file the mode
// its mount options say, whatever open or chmod ask: a lock file there
// cannot be made root's alone. Nothing, with the reason in err, when that
// cannot be asked.
std::optional<bool> modes_are_the_mounts(int fd, const std::string& path, std::string* err) {
  struct statfs filesystem {};
  if (::fstatfs(fd, &filesystem) != 0) {
    *err = os_error("cannot stat the filesystem of lock file " + path);
    return std::nullopt;
  }
  constexpr long exfat_magic = 0x2011BAB0;  // not in every linux/magic.h
  return filesystem.f_type == MSDOS_SUPER_MAGIC || filesystem.f_type == exfat_magic;
}

// Opens the lock file (creating it when create) and checks that it is one
// only root can open, but on a filesystem that decides modes itself, where
// the mode is accepted with a warning. O_NONBLOCK: a FIFO planted there must
// not hang the open; it is refused below.
unique_fd open_lock(const std::string& path, bool create, std::string* err,
                    warning_list& warnings) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  unique_fd lock(create ? ::open(path.c_str(), flags | O_CREAT, 0600)
                        : ::open(path.c_str(), flags));
  if (!lock) {
    *err = os_error("cannot open lock file " + path);
    return {};
  }
  struct stat held {};
  if (::fstat(lock.get(), &held) != 0) {
    *err = os_error("cannot stat lock file " + path);
    return {};
  }
  const std::string refused =
      "lock file " + path + " is not a regular file of root's with no group or other permission";
  if (!S_ISREG(held.st_mode) || held.st_uid != 0) {
    *err = refused;
    return {};
  }
  if ((held.st_mode & 077) != 0) {
    const std::optional<bool> fixed = modes_are_the_mounts(lock.get(), path, err);
    if (!fixed) {
      return {};
    }
    if (!*fixed) {
      *err = refused;
      return {};
    }
    warnings.push_back("lock file " + path +
                       " is on a filesystem that gives every file its mount's mode: other users "
                       "can open it and hold stores up");
  }
  return lock;
}

// Polled rather than blocking, so that giving up needs no signal or timer.
bool lock_until(int fd, const std::string& path, clock_type::time_point give_up,
                std::chrono::milliseconds wait, std::string* err) {
  auto pause = std::chrono::milliseconds(1);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *err = os_error("cannot lock " + path);
      return false;
    }
    if (clock_type::now() >= give_up) {
      *err =
          "lock on " + path + " not obtained within " + std::to_string(wait.count() / 1000) + " s";
      return false;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  return true;
}

// Whether two open lock files are one; nothing, with the reason in err,
// when either cannot be asked: a guess either way would wait on a lock this
// run holds, or take one file's lock twice.
std::optional<bool> same_file(int a, int b, const std::string& path, std::string* err) {
  struct stat first {};
  struct stat second {};
  if (::fstat(a, &first) != 0 || ::fstat(b, &second) != 0) {
    *err = os_error("cannot stat lock file " + path);
    return std::nullopt;
  }
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace

bool section_lock_take(const char* settings_path, const char* earlier_versions_lock,
                       const section_lock_limits& limits, section_lock* locks, std::string* err,
                       warning_list& warnings) {
  const std::chrono::milliseconds wait = limits.wait;
  const auto give_up = clock_type::now() + wait;
  section_lock& held = *locks;
  // The earlier versions' lock, only when it is there.
  struct stat earlier_status {};
  if (::lstat(earlier_versions_lock, &earlier_status) == 0) {
    held.earlier_versions = open_lock(earlier_versions_lock, false, err, warnings);
    if (!held.earlier_versions ||
        !lock_until(held.earlier_versions.get(), earlier_versions_lock, give_up, wait, err)) {
      return false;
    }
  } else if (errno != ENOENT) {
    *err = os_error("cannot stat lock file " + std::string(earlier_versions_lock));
    return false;
  }
  // The lock beside the file the settings path names, while it names it.
  for (int attempt = 0; attempt < limits.resolve_attempts; ++attempt) {
    std::string target;
    if (!resolve(settings_path, &target, err)) {
      return false;
    }
    const std::string path = lock_path_for(target);
    // Told once the attempt holds: not for a lock given up on, nor twice for
    // the earlier versions' lock when it is this very file.
    warning_list lock_warnings;
    unique_fd lock = open_lock(path, true, err, lock_warnings);
    if (!lock) {
      return false;
    }
    // Two locks on one file from one process would wait for each other.
    std::optional<bool> is_earlier_versions = false;
    if (held.earlier_versions) {
      is_earlier_versions = same_file(lock.get(), held.earlier_versions.get(), path, err);
      if (!is_earlier_versions) {
        return false;
      }
    }
    if (!*is_earlier_versions && !lock_until(lock.get(), path, give_up, wait, err)) {
      return false;
    }
    if (still_resolves_to(settings_path, target)) {
      held.target = target;
      if (!*is_earlier_versions) {
        held.lock = std::move(lock);
        warnings.insert(warnings.end(), lock_warnings.begin(), lock_warnings.end());
      }
      return true;
    }
  }
  *err = std::string(settings_path) + " kept changing what it links to; not locked";
  return false;
}

bool section_lock_still_names(const section_lock& held, const char* settings_path) {
  return still_resolves_to(settings_path, held.target);
}
