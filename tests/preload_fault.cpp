// Preloaded into the tool by a test (LD_PRELOAD) to make one system call
// fail as it can on a device, chosen by TAL_FAULT:
//   dir-fsync        fsync of a directory fails with EIO, as on failing
//                    flash, while fsync of a file works: the one failure that
//                    comes after the rename, when the new content is in place;
//   close-pipe-once  the first close of a pipe reports EIO and leaves the
//                    descriptor open, as an interrupted or faulty close can;
//   devnull-blocks   opening /dev/null never returns, as on a hung
//                    filesystem: a child stuck before it could exec;
//   lock-fstat       fstat of a lock file fails with EIO from its third
//                    call on: once both locks are open, when they are
//                    compared;
//   renameat2-einval renameat2 fails with EINVAL, as on a filesystem without
//                    RENAME_EXCHANGE and RENAME_NOREPLACE (JFFS2, FUSE);
//   exchange-eio     renameat2 onto a name "settings" fails with EIO: the
//                    commit itself fails on a failing disk;
//   setlease-einval  F_SETLEASE fails with EINVAL, as with leases switched
//                    off or on a network filesystem;
//   fstatfs-vfat     fstatfs says vfat, which gives every file its mount's
//                    mode (this machine's kernel may have no vfat to mount);
//   sendfile-einval  sendfile fails with EINVAL before it copies anything, as
//                    between files it cannot copy in the kernel;
//   file-fsync-eio   fsync of a regular file (the new settings file) fails
//                    with EIO after 300 ms, as on failing flash that retries
//                    first: the programs the tool started meanwhile are
//                    under way by then;
//   unshare-eperm    unshare fails with EPERM, as in a container without
//                    CAP_SYS_ADMIN: cp's child gets no mount namespace.
// Only the tool (and a child it forked, before exec) is affected, never the
// programs it starts. Each fault that strikes says so in the file fault-fired
// of the tool's working directory as it was started (a child may have moved
// since), so that a test knows its path was taken.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool fault_is(const char* name) {
  const char* fault = std::getenv("TAL_FAULT");
  return fault != nullptr && std::strcmp(fault, name) == 0 &&
         std::strncmp(program_invocation_short_name, "tal-setconf", 11) == 0;
}

template <typename function>
function real(const char* name) {
  return reinterpret_cast<function>(::dlsym(RTLD_NEXT, name));
}

char fired_path[PATH_MAX] = "fault-fired";

// Made absolute at load, so that a child in another directory finds it.
__attribute__((constructor)) void remember_fired_path() {
  char cwd[PATH_MAX - 16];
  if (::getcwd(cwd, sizeof cwd) != nullptr) {
    std::strcpy(fired_path, cwd);
    std::strcat(fired_path, "/fault-fired");
  }
}

void fired() {
  const int saved = errno;
  using open_function = int (*)(const char*, int, ...);
  const int fd = real<open_function>("open")(fired_path, O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd >= 0) {
    if (::write(fd, "fired\n", 6) != 6) {
      ::unlink(fired_path);  // a test then sees no proof rather than half a one
    }
    using close_function = int (*)(int);
    real<close_function>("close")(fd);
  }
  errno = saved;
}

int open_checked(const char* name, const char* path, int flags, va_list args) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    mode = static_cast<mode_t>(va_arg(args, int));
  }
  if (std::strcmp(path, "/dev/null") == 0 && fault_is("devnull-blocks")) {
    for (;;) {
      ::pause();
    }
  }
  using open_function = int (*)(const char*, int, ...);
  return real<open_function>(name)(path, flags, mode);
}

using fstat_function = int (*)(int, struct stat*);

bool is_lock_file(int fd) {
  char target[PATH_MAX] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  return n > 5 && std::strcmp(target + n - 5, ".lock") == 0;
}

int fstat_checked(const char* name, int fd, struct stat* status) {
  static int lock_calls = 0;
  if (fault_is("lock-fstat") && is_lock_file(fd) && ++lock_calls >= 3) {
    fired();
    errno = EIO;
    return -1;
  }
  return real<fstat_function>(name)(fd, status);
}

// The 64-bit twins take other structures and offsets, but the same fault.
template <typename statfs_type>
int fstatfs_checked(const char* name, int fd, statfs_type* status) {
  using fstatfs_function = int (*)(int, statfs_type*);
  const int result = real<fstatfs_function>(name)(fd, status);
  if (result == 0 && fault_is("fstatfs-vfat")) {
    fired();
    status->f_type = MSDOS_SUPER_MAGIC;
  }
  return result;
}

template <typename offset_type>
ssize_t sendfile_checked(const char* name, int out, int in, offset_type* offset, size_t count) {
  if (fault_is("sendfile-einval")) {
    fired();
    errno = EINVAL;
    return -1;
  }
  using sendfile_function = ssize_t (*)(int, int, offset_type*, size_t);
  return real<sendfile_function>(name)(out, in, offset, count);
}

}  // namespace

extern "C" int fstat(int fd, struct stat* status) {
  return fstat_checked("fstat", fd, status);
}

extern "C" int fstat64(int fd, struct stat64* status) {
  return fstat_checked("fstat64", fd, reinterpret_cast<struct stat*>(status));
}

extern "C" int fstatfs(int fd, struct statfs* status) {
  return fstatfs_checked("fstatfs", fd, status);
}

extern "C" int fstatfs64(int fd, struct statfs64* status) {
  return fstatfs_checked("fstatfs64", fd, status);
}

extern "C" ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
  return sendfile_checked("sendfile", out, in, offset, count);
}

extern "C" ssize_t sendfile64(int out, int in, off64_t* offset, size_t count) {
  return sendfile_checked("sendfile64", out, in, offset, count);
}

extern "C" int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                         unsigned flags) {
  const char* base = std::strrchr(to, '/');
  const bool onto_settings = std::strcmp(base != nullptr ? base + 1 : to, "settings") == 0;
  if (fault_is("renameat2-einval") || (fault_is("exchange-eio") && onto_settings)) {
    fired();
    errno = fault_is("renameat2-einval") ? EINVAL : EIO;
    return -1;
  }
  using renameat2_function = int (*)(int, const char*, int, const char*, unsigned);
  return real<renameat2_function>("renameat2")(from_dir, from, to_dir, to, flags);
}

extern "C" int unshare(int flags) {
  if (fault_is("unshare-eperm")) {
    fired();
    errno = EPERM;
    return -1;
  }
  using unshare_function = int (*)(int);
  return real<unshare_function>("unshare")(flags);
}

extern "C" int fsync(int fd) {
  struct stat status {};
  if (fault_is("dir-fsync") && ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    fired();
    errno = EIO;
    return -1;
  }
  if (fault_is("file-fsync-eio") && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    fired();
    ::usleep(300000);
    errno = EIO;
    return -1;
  }
  using fsync_function = int (*)(int);
  return real<fsync_function>("fsync")(fd);
}

extern "C" int close(int fd) {
  static bool failed_once = false;
  struct stat status {};
  if (!failed_once && fault_is("close-pipe-once") && ::fstat(fd, &status) == 0 &&
      S_ISFIFO(status.st_mode)) {
    failed_once = true;
    fired();
    errno = EIO;
    return -1;
  }
  using close_function = int (*)(int);
  return real<close_function>("close")(fd);
}

namespace {

int fcntl_checked(const char* name, int fd, int command, va_list args) {
  // Every command's argument is an int, a pointer or nothing: one word.
  const auto argument = va_arg(args, unsigned long);
  if (command == F_SETLEASE && fault_is("setlease-einval")) {
    fired();
    errno = EINVAL;
    return -1;
  }
  using fcntl_function = int (*)(int, int, ...);
  return real<fcntl_function>(name)(fd, command, argument);
}

}  // namespace

extern "C" int fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  const int result = fcntl_checked("fcntl", fd, command, args);
  va_end(args);
  return result;
}

extern "C" int fcntl64(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  const int result = fcntl_checked("fcntl64", fd, command, args);
  va_end(args);
  return result;
}

extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = open_checked("open", path, flags, args);
  va_end(args);
  return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = open_checked("open64", path, flags, args);
  va_end(args);
  return fd;
}
