#include "safe/working_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
constexpr std::string_view private_dir_tag = ".cp-";    // then XXXXXX

bool names_file(const std::string& path, dev_t device, ino_t inode) {
  struct stat at_path {};
  return ::lstat(path.c_str(), &at_path) == 0 && S_ISREG(at_path.st_mode) &&
         at_path.st_dev == device && at_path.st_ino == inode;
}

// A directory others can write to without the sticky bit lets them remove or
// rename root's files in it: nothing at a fixed path there can be trusted.
bool dir_is_safe(const std::string& dir, struct stat* status, std::string* err) {
  if (::stat(dir.c_str(), status) != 0) {
    *err = os_error("cannot stat " + dir);
    return false;
  }
  if ((status->st_mode & S_IWOTH) != 0 && (status->st_mode & S_ISVTX) == 0) {
    *err = dir + " is writable by every user and has no sticky bit; the working copy " +
           "cannot be kept safe there";
    return false;
  }
  return true;
}

// Renames the directory at from to a new name beside the fixed path: an
// empty directory made there first (mkdtemp: unique, root's, 0700), which
// the rename replaces atomically.
bool move_directory_aside(const std::string& from, const std::string& path, std::string* err,
                          warning_list& warnings) {
  std::string aside = path + std::string(private_suffix);
  if (::mkdtemp(aside.data()) == nullptr) {
    *err = os_error("cannot make a name to move the directory at " + path + " to");
    return false;
  }
  if (::rename(from.c_str(), aside.c_str()) != 0) {
    *err = os_error("cannot move the directory at " + path + " aside");
    ::rmdir(aside.c_str());
    return false;
  }
  warnings.push_back("moved a directory found at " + path + " to " + aside);
  return true;
}

// What the exchange put where the file placed stood: removed, or, a
// directory, left beside the fixed path and told (from the run's private
// directory, moved there first).
void clear_displaced(const std::string& displaced, const std::string& path, bool in_private_dir,
                     warning_list& warnings) {
  struct stat status {};
  if (::lstat(displaced.c_str(), &status) != 0) {
    return;  // its owner took it away
  }
  if (S_ISDIR(status.st_mode)) {
    std::string ignored;  // a failure leaves it for the private directory's removal
    if (!in_private_dir) {
      warnings.push_back("moved a directory found at " + path + " to " + displaced);
    } else if (!move_directory_aside(displaced, path, &ignored, warnings)) {
      warnings.push_back(ignored);
    }
    return;
  }
  // A failure leaves another user's entry under a name no run relies on.
  ::unlink(displaced.c_str());
}

enum class take { placed, taken_first, failed };

// One attempt to put the file at own in place at path: placed, or
// taken_first when someone took the path first (try again), or failed, with
// the reason in err. The exchange leaves whatever stood there under own;
// with nothing there, the free name is taken unless someone took it first.
// A kernel without either gets a plain rename, which replaces anything but
// a directory (moved aside first).
take take_path(const std::string& own, const std::string& path, bool in_private_dir,
               std::string* err, warning_list& warnings) {
  if (::renameat2(AT_FDCWD, own.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
    clear_displaced(own, path, in_private_dir, warnings);
    return take::placed;
  }
  if (errno == ENOENT) {
    if (::renameat2(AT_FDCWD, own.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
      return take::placed;
    }
    if (errno == EEXIST) {
      return take::taken_first;
    }
  }
  if (errno != EINVAL && errno != ENOSYS) {
    *err = os_error("cannot put a file at " + path);
    return take::failed;
  }
  if (::rename(own.c_str(), path.c_str()) == 0) {
    return take::placed;
  }
  if (errno != EISDIR && errno != ENOTEMPTY && errno != EEXIST) {
    *err = os_error("cannot put a file at " + path);
    return take::failed;
  }
  return move_directory_aside(path, path, err, warnings) ? take::taken_first : take::failed;
}

// Puts the file at own, made as made says, at the copy's fixed path,
// whatever stood there. Each failed attempt means another user put
// something there in the instant between two calls.
bool place(const std::string& own, const struct stat& made, bool in_private_dir, working_copy& copy,
           std::string* err, warning_list& warnings) {
  const std::string path(copy.request.path);
  take taken = take::taken_first;
  for (int tries = 0; taken == take::taken_first && tries < copy.request.place_attempts; ++tries) {
    taken = take_path(own, path, in_private_dir, err, warnings);
  }
  if (taken == take::placed) {
    copy.path = path;
    copy.device = made.st_dev;
    copy.inode = made.st_ino;
    return true;
  }
  if (taken == take::taken_first) {
    *err = path + " was taken again at each of " + std::to_string(copy.request.place_attempts) +
           " attempts";
  }
  return false;
}

// Without a private /tmp: a new empty file of root's at the fixed path, for
// cp to write into.
bool place_own_file(working_copy& copy, std::string* err, warning_list& warnings) {
  std::string own = std::string(copy.request.path) + std::string(private_suffix);
  const unique_fd fd(::mkostemp(own.data(), O_CLOEXEC));
  if (!fd) {
    *err = os_error("cannot create a file in " + copy.tmp);
    return false;
  }
  struct stat made {};
  if (::fstat(fd.get(), &made) != 0) {
    *err = os_error("cannot stat " + own);
  } else if (place(own, made, false, copy, err, warnings)) {
    return true;
  }
  ::unlink(own.c_str());
  return false;
}

// After cp, without a private /tmp: the copy is whatever cp left at the
// path, which need not be the file placed for it (a cp may unlink its
// destination and create it anew). Only a regular file of root's there is
// the run's to remove; anything else is not ours, and the path is forgotten.
void identify_copy(working_copy& copy) {
  struct stat left {};
  if (::lstat(copy.path.c_str(), &left) == 0 && S_ISREG(left.st_mode) && left.st_uid == 0) {
    copy.device = left.st_dev;
    copy.inode = left.st_ino;
  } else {
    copy.path.clear();
  }
}

// cp's own /tmp: a new directory of the run's, 0700, on /tmp's filesystem,
// known by the descriptor that the child binds.
bool make_private_dir(working_copy& copy, const struct stat& tmp, std::string* err) {
  std::string dir = std::string(copy.request.path) + std::string(private_dir_tag) + "XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) {
    *err = os_error("cannot make a directory in " + copy.tmp);
    return false;
  }
  copy.private_dir = dir;
  copy.private_fd.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat made {};
  // 0700 whatever the caller's umask took from mkdtemp's mode.
  if (!copy.private_fd || ::fchmod(copy.private_fd.get(), 0700) != 0 ||
      ::fstat(copy.private_fd.get(), &made) != 0) {
    *err = os_error("cannot open " + dir);
    return false;
  }
  if (made.st_uid != ::geteuid() || (made.st_mode & 07777) != 0700 || made.st_dev != tmp.st_dev) {
    *err = dir + " is not the directory made for the copy";
    return false;
  }
  return true;
}

void remove_private_dir(working_copy& copy) {
  copy.private_fd.reset();
  if (!copy.private_dir.empty()) {
    std::string ignored;  // a failure leaves it for the next run's sweep
    static_cast<void>(leftovers_remove_tree(AT_FDCWD, copy.private_dir, &ignored));
    copy.private_dir.clear();
  }
}

bool start_cp(working_copy& copy, std::string* err) {
  const working_copy_request& request = copy.request;
  const std::array<const char*, 2> args{request.settings, request.path};
  // cp creates nothing others can read, dies with the run, and leaves nothing
  // running behind it.
  program_options options{
      .bound = request.bound, .lifetime = program_lifetime::ends_with_run, .umask = 077};
  if (copy.private_fd) {
    options.private_dir = copy.private_fd.get();
    options.private_mount = copy.tmp.c_str();
  }
  return program_start(request.copy_program, args, options, &copy.cp, err);
}

// Once cp has exited 0 in its own /tmp: its copy, mode 0600, at the fixed
// path; the directory goes.
bool place_copy(working_copy& copy, std::string* err, warning_list& warnings) {
  const std::string name = path_base(copy.request.path);
  struct stat made {};
  if (::fstatat(copy.private_fd.get(), name.c_str(), &made, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(made.st_mode) || made.st_uid != ::geteuid()) {
    *err = std::string(copy.request.copy_program) + " exited 0 but made no copy";
    return false;
  }
  // Only root can reach the directory: the file is still the one looked at.
  if (::fchmodat(copy.private_fd.get(), name.c_str(), 0600, 0) != 0) {
    *err = os_error("cannot set the mode of the copy " + copy.private_dir + "/" + name);
    return false;
  }
  if (!place(copy.private_dir + "/" + name, made, true, copy, err, warnings)) {
    return false;
  }
  remove_private_dir(copy);
  return true;
}

// cp failed: a /tmp too full for the copy is told, not guessed at.
void tell_free_space(const working_copy& copy, std::string* err) {
  struct statvfs space {};
  if (::statvfs(copy.tmp.c_str(), &space) != 0) {
    return;
  }
  const auto free = static_cast<unsigned long long>(space.f_bfree) * space.f_frsize;
  if (free < static_cast<unsigned long long>(copy.request.settings_size)) {
    *err += " (" + copy.tmp + " has " + std::to_string(free) + " bytes free; the copy needs " +
            std::to_string(copy.request.settings_size) + ")";
  }
}

}  // namespace

working_copy::~working_copy() {
  if (cp.pid > 0) {
    // Stopped before anything is removed: a cp still running could make the
    // copy anew behind the removal.
    program_stop(cp);
    if (!private_fd) {
      identify_copy(*this);
    }
  }
  remove_private_dir(*this);
  if (!path.empty() && names_file(path, device, inode)) {
    ::unlink(path.c_str());
  }
}

bool working_copy_start(const working_copy_request& request, working_copy* copy, std::string* err,
                        warning_list& warnings) {
  copy->request = request;
  const std::string path(request.path);
  copy->tmp = path_dir(path);
  struct stat tmp {};
  if (!dir_is_safe(copy->tmp, &tmp, err)) {
    return false;
  }
  // A failure leaves them for a later run: nothing is lost meanwhile.
  std::string ignored;
  static_cast<void>(leftovers_remove(copy->tmp, path_base(path) + ".", &ignored));
  static_cast<void>(leftovers_remove_directories(
      copy->tmp, path_base(path) + std::string(private_dir_tag), &ignored));
  if (request.private_tmp) {
    if (!make_private_dir(*copy, tmp, err)) {
      return false;
    }
  } else {
    warnings.push_back(std::string(request.copy_program) + " ran without a private " + copy->tmp +
                       ": the settings file lies under it");
    if (!place_own_file(*copy, err, warnings)) {
      return false;
    }
  }
  return start_cp(*copy, err);
}

program_wait_end working_copy_finish(working_copy& copy, int wake, std::string* err,
                                     warning_list& warnings) {
  for (;;) {
    const program_wait_end end = program_wait_or_wake(copy.cp, wake, err);
    if (end == program_wait_end::woken) {
      return end;
    }
    const program_run& run = copy.cp.outcome;
    if (end == program_wait_end::failed && copy.private_fd && run.setup_refused) {
      // cp never ran: the child could not have a /tmp of its own. It runs
      // again, on the host's /tmp, at a file placed for it.
      warnings.push_back(std::string(copy.request.copy_program) + " ran without a private " +
                         copy.tmp + ": " + run.setup_step + ": " + std::strerror(run.setup_error));
      remove_private_dir(copy);
      if (!place_own_file(copy, err, warnings) || !start_cp(copy, err)) {
        return program_wait_end::failed;
      }
      continue;
    }
    if (end == program_wait_end::failed) {
      tell_free_space(copy, err);
      return end;
    }
    break;
  }
  if (!copy.private_fd) {
    identify_copy(copy);
    return program_wait_end::succeeded;
  }
  return place_copy(copy, err, warnings) ? program_wait_end::succeeded : program_wait_end::failed;
}

bool working_copy_remove(working_copy& copy, std::string* err) {
  if (!names_file(copy.path, copy.device, copy.inode)) {
    *err = std::string(copy.request.path) + " is no longer the copy; left as it is";
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
