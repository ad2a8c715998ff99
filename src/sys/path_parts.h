// The two halves of an absolute path, as the tool splits the paths it works
// on (the settings file, the working copy): no path it uses ends in a slash.
#pragma once

#include <string>
#include <string_view>

// "/opt/tal/etc" of "/opt/tal/etc/settings"; "/" of "/settings".
inline std::string path_dir(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
}

// "settings" of "/opt/tal/etc/settings".
inline std::string path_base(std::string_view path) {
  return std::string(path.substr(path.rfind('/') + 1));
}
