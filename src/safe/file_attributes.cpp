#include "safe/file_attributes.h"

#include <sys/xattr.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "sys/failure.h"

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

// The attribute's value, in *value; the size is asked first, and again if it
// grew. False, with the OS error in *error: the caller tells an attribute
// removed meanwhile or not supported from a failure (failure.h).
bool read_attribute(int fd, const char* name, std::vector<char>* value, int* error) {
  for (;;) {
    const ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
    if (size < 0) {
      *error = errno;
      return false;
    }
    value->resize(static_cast<std::size_t>(size));
    const ssize_t got = ::fgetxattr(fd, name, value->data(), value->size());
    if (got >= 0) {
      value->resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE) {
      *error = errno;
      return false;
    }
  }
}

// The attributes' names, in *names. False, with the OS error in *error.
bool list_attributes(int fd, std::vector<char>* names, int* error) {
  for (;;) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size == 0) {
      names->clear();  // none: no second call
      return true;
    }
    if (size < 0) {
      *error = errno;
      return false;
    }
    names->resize(static_cast<std::size_t>(size));
    const ssize_t got = ::flistxattr(fd, names->data(), names->size());
    if (got >= 0) {
      names->resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE) {
      *error = errno;
      return false;
    }
  }
}

std::uint32_t little_endian(std::string_view bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

}  // namespace

unsigned file_attributes_acl_group_bits(std::string_view acl) {
  // A 4-byte version, then entries of a 16-bit tag, 16-bit permissions and a
  // 32-bit id, all little-endian.
  constexpr std::uint32_t group_obj = 0x04;
  constexpr std::uint32_t mask = 0x10;
  unsigned group = 7;
  unsigned limit = 7;
  bool has_group = false;
  for (std::size_t at = 4; at + 8 <= acl.size(); at += 8) {
    const std::uint32_t tag = little_endian(acl, at, 2);
    const unsigned perm = little_endian(acl, at + 2, 2) & 7U;
    if (tag == group_obj) {
      group = perm;
      has_group = true;
    } else if (tag == mask) {
      limit = perm;
    }
  }
  return has_group ? group & limit : 7;
}

bool file_attributes_copy(int from, int to, mode_t* mode, std::string* err,
                          warning_list& warnings) {
  std::vector<char> names;
  int error = 0;
  if (!list_attributes(from, &names, &error)) {
    if (error == ENOTSUP) {
      return true;  // no extended attributes here at all
    }
    *err = os_error("cannot list the extended attributes of the settings file", error);
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
    if (!read_attribute(from, name, &value, &error)) {
      if (error == ENODATA) {
        continue;  // removed since it was listed
      }
      if (error == ENOTSUP && needed == need::required) {
        // Listed but not supported: an ACL on a filesystem mounted without
        // ACL support, where the mode alone governs access to the old file too.
        warnings.push_back(
            os_error("dropped " + std::string(name) + " of the settings file", error));
        continue;
      }
    } else if (::fsetxattr(to, name, value.data(), value.size(), 0) == 0) {
      continue;
    } else if (error = errno; error == ENOTSUP && needed == need::required) {
      warnings.push_back(os_error(
          "dropped " + std::string(name) + ", which the new settings file cannot hold", error));
      if (name == access_acl) {
        const unsigned group = file_attributes_acl_group_bits({value.data(), value.size()});
        *mode &= ~static_cast<mode_t>(070) | static_cast<mode_t>(group << 3);
      }
      continue;
    }
    const std::string reason = os_error("cannot carry " + std::string(name) + " over", error);
    if (needed == need::required) {
      *err = reason;
      return false;
    }
    warnings.push_back(reason);
  }
  if (!had_acl && ::fremovexattr(to, access_acl.data()) != 0) {
    error = errno;
    if (error != ENODATA && error != ENOTSUP) {
      *err = os_error("cannot remove the ACL inherited by the new settings file", error);
      return false;
    }
  }
  return true;
}
