// A tool run as root that writes into a folder another user owns (the host's user, as the
// operators' guide sets psdata/ up) first becomes that user, so that it can do nothing there the
// user could not: no file written through a link the user planted, no file of root's read or
// rewritten, nothing made that root owns. Only the owner's user and group numbers are used, never
// the user database, so that the tool works linked statically.
#pragma once

#include <string>

namespace simtool {

// Where the process runs as root and the folder `folder`, through its links, is owned by another
// user: sets the supplementary groups to the folder's group alone, then the group to it, then the
// user to the folder's owner, in that order, each checked. True where nothing had to change
// (not root, a folder of root's, or no such folder) or every step worked; false with a message
// naming the step that failed, after which the process must write nothing.
bool takeFolderOwner(const std::string& folder, std::string* error);

// The folder holding `file`, as a path: "." for a bare name.
std::string folderOf(const std::string& file);

}  // namespace simtool
