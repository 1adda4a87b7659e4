// A file's extended attributes, its access control list among them (system.posix_acl_access),
// given to the file that replaces it, so that the new file grants what the old one granted.
#pragma once

namespace store {

// Gives the file open at `to` every extended attribute that the file open at `from` holds (those
// this process may read), with the same value. An attribute that `to` holds already with that
// value, such as a security label set by policy, is not set again. True when `to` then holds
// them all; false (errno set) when one could not be read or set, the others given all the same. A file system without extended
// attributes holds none: true. REQUIRES: `to` has its owner and mode already, since an access
// control list set after a chmod would be changed by it.
bool copyAttributes(int from, int to);

// Gives the file at `to` (never through a symbolic link there) the extended attributes of the
// file `from` leads to, as copyAttributes does, where it can: a copy that keeps a file's content
// beside it. A failure leaves what was given and is not reported.
void copyAttributesWhereCan(const char* from, const char* to);

}  // namespace store
