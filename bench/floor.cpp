// The floor: the work a store cannot avoid, done as plainly as possible.
// It copies the settings file with /bin/cp, reads it once, writes it once
// into a new file beside it, syncs that file, renames it over the settings
// file, syncs the directory, and runs the hash tool. Paths are the device's;
// run it in the sandbox like the tool.
//
// The working copy in /tmp must be a file the tool made itself, so cp
// writes into an existing empty file, opening it with O_TRUNC. On ext4 that
// makes the kernel write the copy out when cp closes it (its guard for
// files replaced by truncation), which costs a sync and an unlink a few
// milliseconds on large files. The floor does the same unless started with
// --fresh-copy, where cp makes the file.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>
#include <vector>

namespace {

int run(const char* path, const char* arg1, const char* arg2) {
  const pid_t child = fork();
  if (child == 0) {
    execl(path, path, arg1, arg2, static_cast<char*>(nullptr));
    _exit(1);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child ? status : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* settings = "/opt/tal/etc/settings";
  const char* fresh = "/opt/tal/etc/.settings.floor";
  const bool fresh_copy = argc > 1 && std::string_view(argv[1]) == "--fresh-copy";
  unlink("/tmp/settings.module.tal");
  if (!fresh_copy) {
    const int made =
        open("/tmp/settings.module.tal", O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (made < 0) {
      return 2;
    }
    close(made);
  }
  if (run("/bin/cp", settings, "/tmp/settings.module.tal") != 0) {
    return 2;
  }
  const int in = open("/tmp/settings.module.tal", O_RDONLY | O_CLOEXEC);
  const int out = open(fresh, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || out < 0) {
    return 2;
  }
  std::vector<char> buffer(1 << 16);
  for (ssize_t n; (n = read(in, buffer.data(), buffer.size())) > 0;) {
    if (write(out, buffer.data(), static_cast<std::size_t>(n)) != n) {
      return 2;
    }
  }
  const int dir = open("/opt/tal/etc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fsync(out) != 0 || close(out) != 0 || rename(fresh, settings) != 0 || fsync(dir) != 0) {
    return 2;
  }
  close(in);
  close(dir);
  run("/sbin/hash_generate", settings, nullptr);
  unlink("/tmp/settings.module.tal");
  return 0;
}
