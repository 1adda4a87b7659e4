// The sign that a host is running: from start-up to shutdown the plug-in holds a shared advisory
// lock (flock) on its working folder ".", one on the data folder "psdata" and one on the data
// file, the file the path "psdata/morvelt.ini" leads to through its symbolic links. It opens each
// read-only, close-on-exec and without waiting (a FIFO in either place is not locked), and keeps
// each only once the path is seen to still lead to what it locked. A save by rename locks the new
// file before the rename and lets the old one go only after it, so the file the plug-in will
// write is locked at every moment, however a tool names it. The working folder's lock covers a
// "psdata" made, or moved aside and made anew, after start-up: nothing in it is locked until the
// next save, but the folder that holds it is. Hosts in the same folder all hold the locks at
// once; a tool that changes the data file asks for all three exclusively (the working folder as
// the folder that holds the file's folder) and stays away while any host holds one. A child that
// the host forks without exec shares the open descriptors and so holds the locks until it exits
// too. No file is added to the folder, and a start-up that cannot take a lock goes on without it.
#pragma once

namespace store {

// Takes the shared locks on the working folder, the data folder and then the data file, waiting
// up to two seconds in all while a tool holds them exclusively (an edit in progress); after
// that, goes on without them and says so in the host's log. Nothing is locked where there is no
// folder, no regular file, or where the path keeps leading elsewhere.
void holdDataFolder();

// Locks the new data file at `path`, written and about to be renamed over the old one.
void lockNewDataFile(const char* path);

// After the rename of the file lockNewDataFile locked: where `renamed`, the new file's lock
// becomes the data file's and the old file's is given back; else the new file's is.
void passDataFileLock(bool renamed);

// Gives every lock back.
void releaseDataFolder();

}  // namespace store
