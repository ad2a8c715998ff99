// What killed runs leave behind: files they made under a private name, a
// fixed prefix and six random characters (mkstemp's XXXXXX), and had not yet
// renamed or removed. The new settings file beside the settings
// (.settings.tal-setconf-XXXXXX) and the working copy's own file in /tmp
// (settings.module.tal.XXXXXX) are such files.
//
// One rule for both: a root's regular file named prefix + six characters is a
// leftover and is removed; anything else of such a name (another user's
// file, a directory, a link) is not ours and stays. Call only while holding
// the lock that keeps other runs out, or a running store's file goes.
#pragma once

#include <string>

// Removes the leftovers named prefix + XXXXXX in dir. False, with the reason
// in err, when dir cannot be read or a leftover cannot be removed.
bool leftovers_remove(const std::string& dir, const std::string& prefix, std::string* err);
