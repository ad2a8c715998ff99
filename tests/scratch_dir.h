// A directory of a test's own, under the build tree, removed afterwards:
// every file a test writes, and every target of a link it plants, lies in it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

struct scratch_dir {
  std::filesystem::path path;

  scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  ~scratch_dir();

  std::filesystem::path operator/(std::string_view name) const { return path / name; }
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::string_view content);
