// The sign that a host is running: from start-up to shutdown the plug-in holds a shared advisory
// lock (flock) on the data folder "psdata", which it opens read-only and close-on-exec. Hosts in
// the same folder all hold it at once; a tool that changes the data file asks for it exclusively
// and stays away while any host holds it. No file is added to the folder, and a start-up that
// cannot take the lock goes on without it.
#pragma once

namespace store {

// Takes the shared lock, waiting up to two seconds while a tool holds it exclusively (an edit in
// progress); after that, goes on without it and says so in the host's log.
void holdDataFolder();

// Gives the lock back.
void releaseDataFolder();

}  // namespace store
