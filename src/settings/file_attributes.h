// Extended attributes that belong to the settings file rather than to its
// bytes, carried over to the new file that replaces it: its access ACL, the
// user.* attributes, and security labels. Attributes that describe or grant
// something about the old content (security.ima, security.evm,
// security.capability) are never carried over.
#pragma once

#include <string>

// Copies the attributes of the file at from onto the open file to. When the
// old file has no access ACL, any ACL that the new one inherited from its
// directory's default ACL is removed, so the store adds none. A filesystem
// without extended attributes (ENOTSUP) has nothing to copy. False, with the
// reason in err, when the ACL or a user.* attribute cannot be carried over; a
// security label that cannot be is only told in warning.
bool file_attributes_copy(const char* from, int to, std::string* err, std::string* warning);
