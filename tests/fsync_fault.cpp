// Preloaded into the tool by a test (LD_PRELOAD): fsync of a directory
// fails with EIO, as on failing flash, while fsync of a file works. It is the
// one failure that comes after the rename, when the new content is already
// in place.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>

extern "C" int fsync(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    errno = EIO;
    return -1;
  }
  using fsync_function = int (*)(int);
  static const auto real = reinterpret_cast<fsync_function>(::dlsym(RTLD_NEXT, "fsync"));
  return real(fd);
}
