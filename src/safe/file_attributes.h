// Extended attributes that belong to the settings file rather than to its
// bytes, carried over to the new file that replaces it: its access ACL, the
// user.* attributes, and security labels. Attributes that describe or grant
// something about the old content (security.ima, security.evm,
// security.capability) are never carried over.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "sys/failure.h"

// Copies the attributes of the open file from onto the open file to. When the
// old file has no access ACL, any ACL that the new one inherited from its
// directory's default ACL is removed, so the store adds none.
//
// An ACL or user.* attribute that cannot be carried because a filesystem
// does not support it (ENOTSUP) is dropped with a warning, as is a
// security label that cannot be carried at all. When the old ACL was read
// but the new file cannot hold it, mode's group bits are narrowed to what
// the ACL gave the owning group, so that dropping the ACL grants nobody more
// than before: *mode is the mode the new file is to get. False, with the reason in err, on any
// other failure.
bool file_attributes_copy(int from, int to, mode_t* mode, std::string* err, warning_list& warnings);

// The permission bits (0 to 7) that an access ACL, as stored in its extended
// attribute, gives the owning group through its mask; 7 when the value holds
// no group entry (nothing to narrow by).
unsigned file_attributes_acl_group_bits(std::string_view acl);
