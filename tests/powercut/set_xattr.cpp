// The power-cut guest's stand-in for setfattr, which BusyBox lacks: gives a
// file on the f2fs disk the ACL and user attribute that mkfs.f2fs and
// sload.f2fs cannot put there. Built static for the router by
// scripts/powercut.sh.
//
//   set_xattr FILE NAME VALUE_FILE   VALUE_FILE holds the value's bytes
//                                    (getfattr --only-values on this machine)
#include <sys/xattr.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "sys/failure.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    // Standard error is the last place to say anything; the status says it too.
    static_cast<void>(std::fputs("usage: set_xattr FILE NAME VALUE_FILE\n", stderr));
    return 64;
  }
  std::ifstream in(argv[3], std::ios::binary);
  std::ostringstream value;
  value << in.rdbuf();
  if (!in) {
    static_cast<void>(std::fprintf(stderr, "set_xattr: cannot read %s\n", argv[3]));
    return 1;
  }
  const std::string bytes = value.str();
  if (::lsetxattr(argv[1], argv[2], bytes.data(), bytes.size(), 0) != 0) {
    static_cast<void>(
        std::fprintf(stderr, "set_xattr: %s\n",
                     os_error(std::string("cannot set ") + argv[2] + " of " + argv[1]).c_str()));
    return 1;
  }
  return 0;
}
