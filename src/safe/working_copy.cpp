#include "safe/working_copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "safe/leftovers.h"
#include "sys/failure.h"
#include "sys/file_handle.h"
#include "sys/path_parts.h"

namespace {

constexpr std::string_view private_suffix = ".XXXXXX";  // the leftovers' rule

bool names_file(const std::string& path, dev_t device, ino_t inode) {
  struct stat at_path {};
  return ::lstat(path.c_str(), &at_path) == 0 && S_ISREG(at_path.st_mode) &&
         at_path.st_dev == device && at_path.st_ino == inode;
}

// A directory others can write to without the sticky bit lets them remove or
// rename root's files in it: nothing at a fixed path there can be trusted.
bool dir_is_safe(const std::string& dir, std::string* err) {
  struct stat status {};
  if (::stat(dir.c_str(), &status) != 0) {
    *err = os_error("cannot stat " + dir);
    return false;
  }
  if ((status.st_mode & S_IWOTH) != 0 && (status.st_mode & S_ISVTX) == 0) {
    *err = dir + " is writable by every user and has no sticky bit; the working copy " +
           "cannot be kept safe there";
    return false;
  }
  return true;
}

// Renames a directory at path to a new name beside it (without the
// exchange): an empty directory made here first (mkdtemp: unique, root's,
// 0700), which the rename replaces atomically.
bool move_directory_aside(const std::string& path, std::string* err, warning_list& warnings) {
  std::string aside = path + std::string(private_suffix);
  if (::mkdtemp(aside.data()) == nullptr) {
    *err = os_error("cannot make a name to move the directory at " + path + " to");
    return false;
  }
  if (::rename(path.c_str(), aside.c_str()) != 0) {
    *err = os_error("cannot move the directory at " + path + " aside");
    ::rmdir(aside.c_str());
    return false;
  }
  warnings.push_back("moved a directory found at " + path + " to " + aside);
  return true;
}

// What the exchange put under the private name: removed, or, a directory,
// left there and told.
void clear_displaced(const std::string& displaced, const std::string& path,
                     warning_list& warnings) {
  struct stat status {};
  if (::lstat(displaced.c_str(), &status) != 0) {
    return;  // its owner took it away
  }
  if (S_ISDIR(status.st_mode)) {
    warnings.push_back("moved a directory found at " + path + " to " + displaced);
    return;
  }
  // A failure leaves another user's entry under a name no run relies on.
  ::unlink(displaced.c_str());
}

// One attempt to put the file at own in place at path: true, with *taken
// telling whether it is in place or someone took the path first (try again);
// false, with the reason in err, when it cannot be done. The exchange leaves
// whatever stood there under own; with nothing there, the free name is taken
// unless someone took it first. A kernel without either gets a plain rename,
// which replaces anything but a directory (moved aside first).
bool take_path(const std::string& own, const std::string& path, bool* taken, std::string* err,
               warning_list& warnings) {
  *taken = true;
  if (::renameat2(AT_FDCWD, own.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
    clear_displaced(own, path, warnings);
    return true;
  }
  if (errno == ENOENT) {
    if (::renameat2(AT_FDCWD, own.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
      return true;
    }
    if (errno == EEXIST) {
      *taken = false;
      return true;
    }
  }
  if (errno != EINVAL && errno != ENOSYS) {
    *err = os_error("cannot put a new file at " + path);
    return false;
  }
  if (::rename(own.c_str(), path.c_str()) == 0) {
    return true;
  }
  if (errno != EISDIR && errno != ENOTEMPTY && errno != EEXIST) {
    *err = os_error("cannot put a new file at " + path);
    return false;
  }
  *taken = false;
  return move_directory_aside(path, err, warnings);
}

// Puts a new empty file of root's at path, whatever stood there.
// Each failed attempt to take the path means another user put something
// there in the instant between two calls.
bool place_own_file(const std::string& path, int place_attempts, working_copy& copy,
                    std::string* err, warning_list& warnings) {
  std::string own = path + std::string(private_suffix);
  const unique_fd fd(::mkostemp(own.data(), O_CLOEXEC));
  if (!fd) {
    *err = os_error("cannot create a file in " + path_dir(path));
    return false;
  }
  struct stat made {};
  bool placed = ::fstat(fd.get(), &made) == 0;
  if (!placed) {
    *err = os_error("cannot stat " + own);
  }
  bool taken = false;
  for (int tries = 0; placed && !taken && tries < place_attempts; ++tries) {
    placed = take_path(own, path, &taken, err, warnings);
  }
  if (placed && taken) {
    copy.path = path;
    copy.device = made.st_dev;
    copy.inode = made.st_ino;
    return true;
  }
  if (placed) {
    *err = path + " was taken again at each of " + std::to_string(place_attempts) + " attempts";
  }
  ::unlink(own.c_str());
  return false;
}

// After cp: the copy is whatever cp left at the path, which need not be the
// file placed for it (a cp may unlink its destination and create it anew).
// Only a regular file of root's there is the run's to remove; anything else
// is not ours, and the path is forgotten.
void identify_copy(working_copy& copy) {
  struct stat left {};
  if (::lstat(copy.path.c_str(), &left) == 0 && S_ISREG(left.st_mode) && left.st_uid == 0) {
    copy.device = left.st_dev;
    copy.inode = left.st_ino;
  } else {
    copy.path.clear();
  }
}

}  // namespace

working_copy::~working_copy() {
  if (cp.pid > 0) {
    // Stopped before anything is removed: a cp still running could make the
    // copy anew behind the removal.
    program_stop(cp);
    identify_copy(*this);
  }
  if (!path.empty() && names_file(path, device, inode)) {
    ::unlink(path.c_str());
  }
}

bool working_copy_start(const working_copy_request& request, working_copy* copy, std::string* err,
                        warning_list& warnings) {
  const std::string path(request.path);
  if (!dir_is_safe(path_dir(path), err)) {
    return false;
  }
  // A failure leaves them for a later run: nothing is lost meanwhile.
  std::string ignored;
  static_cast<void>(leftovers_remove(path_dir(path), path_base(path) + ".", &ignored));
  if (!place_own_file(path, request.place_attempts, *copy, err, warnings)) {
    return false;
  }
  const std::array<const char*, 2> args{request.settings, request.path};
  // cp creates nothing others can read, dies with the run, and leaves nothing
  // running behind it.
  const program_options options{
      .bound = request.bound, .lifetime = program_lifetime::ends_with_run, .umask = 077};
  return program_start(request.copy_program, args, options, &copy->cp, err);
}

program_wait_end working_copy_finish(working_copy& copy, int wake, std::string* err) {
  const program_wait_end end = program_wait_or_wake(copy.cp, wake, err);
  if (end != program_wait_end::woken) {
    identify_copy(copy);
  }
  return end;
}

bool working_copy_remove(working_copy& copy, std::string* err) {
  if (!names_file(copy.path, copy.device, copy.inode)) {
    *err = copy.path + " is no longer the copy; left as it is";
    copy.path.clear();
    return false;
  }
  const std::string path = std::exchange(copy.path, std::string());
  if (::unlink(path.c_str()) != 0) {
    *err = os_error("cannot remove " + path);
    return false;
  }
  return true;
}
