#include "settings/settings_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view temp_tag = ".tal-setconf-";
constexpr std::string_view temp_suffix = "XXXXXX";

struct dir_closer {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

std::optional<std::string> resolve(const char* path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path, nullptr), &std::free);
  if (!real) {
    return std::nullopt;
  }
  return std::string(real.get());
}

std::string dir_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// ".settings.tal-setconf-": what the new files of the target start with.
std::string temp_prefix(const std::string& target) {
  std::string prefix(".");
  prefix.append(target, target.rfind('/') + 1).append(temp_tag);
  return prefix;
}

int sync_retrying(int fd) {
  int result = 0;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

settings_replacement::settings_replacement(settings_replacement&& other) noexcept
    : target(std::move(other.target)),
      temp_path(std::exchange(other.temp_path, std::string())),
      directory(std::move(other.directory)),
      stream(std::move(other.stream)) {}

settings_replacement::~settings_replacement() {
  stream.reset();
  if (!temp_path.empty()) {
    ::unlink(temp_path.c_str());
  }
}

std::optional<settings_replacement> settings_replace_begin(const char* settings_path) {
  settings_replacement replacement;
  auto target = resolve(settings_path);
  if (!target) {
    return std::nullopt;
  }
  replacement.target = std::move(*target);
  struct stat old_file {};
  if (::stat(replacement.target.c_str(), &old_file) != 0 || !S_ISREG(old_file.st_mode)) {
    return std::nullopt;
  }
  const std::string dir = dir_of(replacement.target);
  replacement.directory.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!replacement.directory) {
    return std::nullopt;
  }

  std::string temp =
      dir + (dir == "/" ? "" : "/") + temp_prefix(replacement.target) + std::string(temp_suffix);
  unique_fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) {
    return std::nullopt;
  }
  replacement.temp_path = std::move(temp);
  // Owner first: changing it can clear set-id bits that the mode then restores.
  if (::fchown(fd.get(), old_file.st_uid, old_file.st_gid) != 0 ||
      ::fchmod(fd.get(), old_file.st_mode & 07777) != 0) {
    return std::nullopt;
  }
  replacement.stream.reset(::fdopen(fd.get(), "w"));
  if (!replacement.stream) {
    return std::nullopt;
  }
  fd.release();
  return replacement;
}

bool settings_replace_commit(settings_replacement& replacement) {
  std::FILE* stream = replacement.stream.get();
  if (stream == nullptr || std::fflush(stream) != 0 || std::ferror(stream) != 0 ||
      sync_retrying(::fileno(stream)) != 0 || !file_close_checked(replacement.stream)) {
    return false;
  }
  if (::rename(replacement.temp_path.c_str(), replacement.target.c_str()) != 0) {
    return false;
  }
  replacement.temp_path.clear();
  return sync_retrying(replacement.directory.get()) == 0;
}

void settings_replace_remove_leftovers(const char* settings_path) {
  const auto target = resolve(settings_path);
  if (!target) {
    return;
  }
  std::unique_ptr<DIR, dir_closer> dir(::opendir(dir_of(*target).c_str()));
  if (!dir) {
    return;
  }
  const std::string prefix = temp_prefix(*target);
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    if (name.size() == prefix.size() + temp_suffix.size() && name.starts_with(prefix)) {
      ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
    }
  }
}
