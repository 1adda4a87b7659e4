// A tool run as root that uses a data file in a folder another user owns (the host's user, as the
// operators' guide sets psdata/ up) takes that user's identity for it, so that it can do nothing
// there the user could not: no file written through a link the user planted, no file of root's
// read or rewritten, nothing made that root owns. Where the folder is root's, the tool stays root
// only where no other user can change any folder on the way to the file; elsewhere it refuses.
// Only the owner's user and group numbers are used, never the user database, so that the tool
// works linked statically.
#pragma once

#include <string>

namespace simtool {

// Where the process runs as root and the folder `folder`, through its links, is owned by another
// user: sets the supplementary groups to the folder's group alone, then the group to it, then the
// user to the folder's owner, in that order, each checked. True where nothing had to change
// (not root, a folder of root's, or no such folder) or every step worked; false with a message
// naming the step that failed, after which the process must write nothing.
bool takeFolderOwner(const std::string& folder, std::string* error);

// True where the process does not run as root, or where no user but root can change a folder
// that opening `file` goes through, links followed one by one as the system follows them: each
// such folder is root's and writable by no group or other user, except that a folder on the way
// with the sticky bit (such as /tmp) is fine where the entry we go through is root's. The folder
// holding the last name (the one a missing name would be made in, and where the tools keep their
// copies) is never excused by the sticky bit. False with a message naming the folder, who else
// can change it, and what to do instead.
bool rootOnlyPath(const std::string& file, std::string* error);

// For a command that writes the data file `file`, run as root: takes the identity of the owner of
// the folder `file` is named in where that owner is not root, else of the folder of the file it
// leads to, else stays root where rootOnlyPath(file) holds. False with a message otherwise, and
// then the process must write nothing.
bool takeDataFolderOwner(const std::string& file, std::string* error);

// Reads the whole data file `file` as readFile (tools/common/run_folder.h) does. Run as root, it
// opens and reads it with the effective identity of the owner of the folder as for
// takeDataFolderOwner, and returns to root's afterwards (so that the command's own output is
// still root's to write), or as root where rootOnlyPath(file) holds; otherwise it reads nothing.
// False with a message.
bool readDataFile(const std::string& file, std::string* content, std::string* error);

// The folder holding `file`, as a path: "." for a bare name.
std::string folderOf(const std::string& file);

}  // namespace simtool
