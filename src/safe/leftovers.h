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
//
// cp's private directory in /tmp (settings.module.tal.cp-XXXXXX) is a
// directory: one of root's, mode 0700, of such a name is a leftover with
// everything in it, removed entry by entry relative to directory
// descriptors, following no link and crossing no mount.
#pragma once

#include <string>

// Removes the leftovers named prefix + XXXXXX in dir. False, with the reason
// in err, when dir cannot be read or a leftover cannot be removed.
bool leftovers_remove(const std::string& dir, const std::string& prefix, std::string* err);

// Removes the leftover directories named prefix + XXXXXX in dir, with all
// they hold. False, with the reason in err, when dir cannot be read or a
// leftover cannot be removed.
bool leftovers_remove_directories(const std::string& dir, const std::string& prefix,
                                  std::string* err);

// Removes the directory name in the directory open at parent, with all it
// holds, as leftovers_remove_directories removes each leftover. False, with
// the reason in err, when part of it could not be removed.
bool leftovers_remove_tree(int parent, const std::string& name, std::string* err);
