#include "settings/file_attributes.h"
#include "settings/os_error.h"

#include <sys/xattr.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view access_acl = "system.posix_acl_access";
constexpr std::array<std::string_view, 3> never_copied{"security.ima", "security.evm",
                                                       "security.capability"};

enum class need { required, best_effort, skipped };

need need_of(std::string_view name) {
  if (name == access_acl || name.starts_with("user.")) {
    return need::required;
  }
  if (std::find(never_copied.begin(), never_copied.end(), name) != never_copied.end()) {
    return need::skipped;
  }
  // Labels; trusted.* and the like are the kernel's or a daemon's business.
  return name.starts_with("security.") ? need::best_effort : need::skipped;
}

// The attribute's value; the size is asked first, and again if it grew.
bool read_attribute(const char* path, const char* name, std::vector<char>& value) {
  for (;;) {
    const ssize_t size = ::getxattr(path, name, nullptr, 0);
    if (size < 0) {
      return false;
    }
    value.resize(static_cast<std::size_t>(size));
    const ssize_t got = ::getxattr(path, name, value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE) {
      return false;
    }
  }
}

bool list_attributes(const char* path, std::vector<char>& names) {
  for (;;) {
    const ssize_t size = ::listxattr(path, nullptr, 0);
    if (size < 0) {
      return false;
    }
    names.resize(static_cast<std::size_t>(size));
    const ssize_t got = ::listxattr(path, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE) {
      return false;
    }
  }
}

}  // namespace

bool file_attributes_copy(const char* from, int to, std::string* err, std::string* warning) {
  std::vector<char> names;
  if (!list_attributes(from, names)) {
    if (errno == ENOTSUP) {
      return true;
    }
    *err = os_error("cannot list the extended attributes of " + std::string(from));
    return false;
  }
  bool had_acl = false;
  std::vector<char> value;
  for (std::size_t at = 0; at < names.size(); at += std::strlen(names.data() + at) + 1) {
    const char* name = names.data() + at;
    const need needed = need_of(name);
    had_acl = had_acl || name == access_acl;
    if (needed == need::skipped) {
      continue;
    }
    if (read_attribute(from, name, value) &&
        ::fsetxattr(to, name, value.data(), value.size(), 0) == 0) {
      continue;
    }
    if (errno == ENODATA || errno == ENOTSUP) {
      continue;  // removed since it was listed, or nothing the new file can carry
    }
    const std::string reason =
        os_error("cannot carry " + std::string(name) + " of " + from + " over");
    if (needed == need::required) {
      *err = reason;
      return false;
    }
    *warning = reason;
  }
  if (!had_acl && ::fremovexattr(to, access_acl.data()) != 0 && errno != ENODATA &&
      errno != ENOTSUP) {
    *err = os_error("cannot remove the ACL inherited by the new settings file");
    return false;
  }
  return true;
}
