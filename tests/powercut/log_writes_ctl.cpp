// The power-cut guest's stand-in for dmsetup, which BusyBox lacks: puts a
// data disk under the kernel's log-writes target, sends it marks, and takes
// it down again (which logs the end mark and waits for the log to be
// written). Built static for the router by scripts/powercut.sh.
//
//   log_writes_ctl create NAME DATA_DEVICE LOG_DEVICE   prints /dev/dm-N
//   log_writes_ctl mark NAME WORD                       WORD has no blank
//   log_writes_ctl remove NAME
#include <fcntl.h>
#include <linux/dm-ioctl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "sys/failure.h"
#include "sys/file_handle.h"

namespace {

// One ioctl buffer: the header, then the command's own data from
// data_start on. The kernel wants 8-byte alignment for what follows.
struct dm_request {
  std::vector<std::uint64_t> words;

  dm_request(std::string_view name, std::size_t payload) {
    const std::size_t bytes = sizeof(dm_ioctl) + payload + 4096;
    words.assign((bytes + 7) / 8, 0);
    dm_ioctl* header = this->header();
    header->version[0] = DM_VERSION_MAJOR;
    header->data_size = static_cast<std::uint32_t>(words.size() * 8);
    header->data_start = sizeof(dm_ioctl);
    name.copy(header->name, sizeof header->name - 1);
  }
  dm_ioctl* header() { return reinterpret_cast<dm_ioctl*>(words.data()); }
  char* payload() { return reinterpret_cast<char*>(words.data()) + sizeof(dm_ioctl); }
};

bool dm_call(unsigned long request, dm_request& buffer, std::string_view what, std::string* err) {
  const unique_fd control(::open("/dev/mapper/control", O_RDWR | O_CLOEXEC));
  if (!control) {
    *err = os_error("cannot open /dev/mapper/control");
    return false;
  }
  if (::ioctl(control.get(), request, buffer.header()) != 0) {
    *err = os_error(what);
    return false;
  }
  return true;
}

bool device_sectors(const char* path, std::uint64_t* sectors, std::string* err) {
  const unique_fd device(::open(path, O_RDONLY | O_CLOEXEC));
  if (!device) {
    *err = os_error("cannot open " + std::string(path));
    return false;
  }
  std::uint64_t bytes = 0;
  if (::ioctl(device.get(), BLKGETSIZE64, &bytes) != 0) {
    *err = os_error("cannot read the size of " + std::string(path));
    return false;
  }
  *sectors = bytes / 512;
  return true;
}

// The node is made here when devtmpfs has not made it (yet), so the caller
// can mount the path it is given at once.
bool device_node(std::uint64_t dev, std::string* path, std::string* err) {
  *path = "/dev/dm-" + std::to_string(minor(dev));
  struct stat node {};
  if (::stat(path->c_str(), &node) == 0) {
    return true;
  }
  if (::mknod(path->c_str(), S_IFBLK | 0600, static_cast<dev_t>(dev)) != 0 && errno != EEXIST) {
    *err = os_error("cannot make " + *path);
    return false;
  }
  return true;
}

bool create(const char* name, const char* data, const char* log, std::string* path,
            std::string* err) {
  std::uint64_t sectors = 0;
  if (!device_sectors(data, &sectors, err)) {
    return false;
  }
  dm_request made(name, 0);
  if (!dm_call(DM_DEV_CREATE, made, std::string("creating ") + name, err)) {
    return false;
  }
  const std::string params = std::string(data) + " " + log;
  dm_request table(name, sizeof(dm_target_spec) + params.size() + 1);
  table.header()->target_count = 1;
  auto* target = reinterpret_cast<dm_target_spec*>(table.payload());
  target->sector_start = 0;
  target->length = sectors;
  std::memcpy(target->target_type, "log-writes", sizeof "log-writes");
  target->next = static_cast<std::uint32_t>((sizeof(dm_target_spec) + params.size() + 1 + 7) & ~7U);
  std::memcpy(table.payload() + sizeof(dm_target_spec), params.c_str(), params.size() + 1);
  if (!dm_call(DM_TABLE_LOAD, table, "loading the log-writes table of " + std::string(name), err)) {
    return false;
  }
  // DM_DEV_SUSPEND without the suspend flag resumes: the loaded table goes live.
  dm_request resume(name, 0);
  if (!dm_call(DM_DEV_SUSPEND, resume, "starting " + std::string(name), err)) {
    return false;
  }
  return device_node(resume.header()->dev, path, err);
}

bool mark(const char* name, std::string_view word, std::string* err) {
  // The target splits its message at blanks and takes exactly two words.
  if (word.empty() || word.find_first_of(" \t\n") != std::string_view::npos) {
    *err = "a mark is one word";
    return false;
  }
  const std::string message = "mark " + std::string(word);
  dm_request request(name, sizeof(dm_target_msg) + message.size() + 1);
  auto* target = reinterpret_cast<dm_target_msg*>(request.payload());
  target->sector = 0;
  std::memcpy(request.payload() + sizeof(dm_target_msg), message.c_str(), message.size() + 1);
  return dm_call(DM_TARGET_MSG, request, "marking " + std::string(name), err);
}

bool remove(const char* name, std::string* err) {
  dm_request request(name, 0);
  return dm_call(DM_DEV_REMOVE, request, "removing " + std::string(name), err);
}

int usage() {
  // Standard error is the last place to say anything; the status says it too.
  static_cast<void>(std::fputs(
      "usage: log_writes_ctl create NAME DATA_DEVICE LOG_DEVICE | mark NAME WORD | remove NAME\n",
      stderr));
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    return usage();
  }
  const std::string_view command = argv[1];
  std::string err;
  bool done = false;
  if (command == "create" && argc == 5) {
    std::string path;
    done = create(argv[2], argv[3], argv[4], &path, &err);
    // The caller mounts the path it reads here.
    if (done && (std::printf("%s\n", path.c_str()) < 0 || std::fflush(stdout) != 0)) {
      err = "cannot print the device's path";
      done = false;
    }
  } else if (command == "mark" && argc == 4) {
    done = mark(argv[2], argv[3], &err);
  } else if (command == "remove" && argc == 3) {
    done = remove(argv[2], &err);
  } else {
    return usage();
  }
  if (!done) {
    static_cast<void>(std::fprintf(stderr, "log_writes_ctl: %s\n", err.c_str()));
    return 1;
  }
  return 0;
}
