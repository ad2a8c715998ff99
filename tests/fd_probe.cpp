// Stands in for a program that the tool starts (the hash tool, or any program
// in the runner's tests). It writes a report to its own path + ".report":
// its arguments, its open descriptors and where they lead, whether the
// working copy exists, its signal state and its process group. With an
// argument that names a file, it also copies that file to its own path +
// ".saw". Its exit status is its number of
// arguments modulo 4, so a caller can choose one.
#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  const std::string self = argv[0];
  std::ofstream report(self + ".report", std::ios::trunc);
  report << "argc " << argc << "\n";
  for (int i = 1; i < argc; ++i) {
    report << "arg " << argv[i] << "\n";
  }
  // The report's own descriptor and the listing's are the probe's, not inherited.
  DIR* fds = ::opendir("/proc/self/fd");
  const int listing = fds != nullptr ? ::dirfd(fds) : -1;
  while (dirent* entry = fds != nullptr ? ::readdir(fds) : nullptr) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || std::stoi(name) == listing) {
      continue;
    }
    char target[PATH_MAX] = {};
    const ssize_t n = ::readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
    const std::string where = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?";
    if (where.ends_with(".report")) {
      continue;
    }
    report << "fd " << name << " " << where << "\n";
  }
  if (fds != nullptr) {
    ::closedir(fds);
  }
  report << "working-copy " << (::access("/tmp/settings.module.tal", F_OK) == 0 ? "yes" : "no")
         << "\n";
  // Signal dispositions and mask as exec left them, and the process group.
  std::ifstream status("/proc/self/status");
  std::string ignored = "?";
  std::string blocked = "?";
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigIgn:\t")) {
      ignored = line.substr(8);
    } else if (line.starts_with("SigBlk:\t")) {
      blocked = line.substr(8);
    }
  }
  const std::string none(16, '0');
  if (ignored == none && blocked == none) {
    report << "signals default\n";
  } else {
    report << "signals ignored " << ignored << " blocked " << blocked << "\n";
  }
  report << "group " << (::getpgrp() == ::getpid() ? "own" : "inherited") << "\n";
  if (argc > 1) {
    std::ifstream in(argv[1], std::ios::binary);
    if (in) {
      std::ofstream saw(self + ".saw", std::ios::binary | std::ios::trunc);
      saw << in.rdbuf();
    }
  }
  return (argc - 1) % 4;
}
