// The plug-in's life: start-up, timer events and shutdown.
//
// Start-up announces the plug-in in the host's log, builds the variable table from the
// arguments (last argument first, so the last one gets index 1), reads the data file and asks
// for the first timer event at once. Each timer event drops stale records, rewrites the data
// file (unless it holds the tables' text already) and asks for the next event. Shutdown does
// that work once more and gives back all memory; a timer event or a second shutdown that
// arrives after it does nothing. A start-up while running first ends the running life as
// shutdown does; the earlier timer chain may go on, each event an ordinary one.
// From start-up to shutdown the plug-in holds a shared lock on the data folder, the sign to
// tools that a host is running.
#include <stdint.h>

#include "host/api.h"
#include "host/export.h"
#include "plugin/running.h"
#include "store/data_file.h"
#include "store/folder_lock.h"
#include "store/key_index.h"
#include "store/records.h"
#include "store/variables.h"

namespace {

constexpr char kLogSource[] = "Morvelt";
constexpr char kLogFormat[] = "v%d.%d Build %d: persistent per-user statistics for stats hotspots";
// The project's version (major.minor.build), given by the build.
constexpr int kVersionMajor = MORVELT_VERSION_MAJOR;
constexpr int kVersionMinor = MORVELT_VERSION_MINOR;
constexpr int kVersionBuild = MORVELT_VERSION_BUILD;

constexpr int32_t kFirstTimerDelay = 0;
constexpr int32_t kTimerDelay = 300;

// Between start-up and shutdown. A timer event outside that time finds nothing to save, and a
// message passes untouched.
bool isRunning = false;

// Adds the variables named by arguments count-1 down to 1. Null lists and arguments add nothing.
void registerArguments(int32_t count, char** arguments) {
    if (arguments == nullptr) return;
    for (int32_t i = count - 1; i >= 1; --i) store::registerVariable(arguments[i]);
}

// Drops stale records, then rewrites the data file where it does not hold the tables' text.
void expireAndSave() {
    store::expireRecords();
    store::saveStats();
}

// Ends the running life: drops stale records, saves, gives back all memory and lets the data
// folder go. The plug-in is then not running.
void endLife() {
    expireAndSave();
    store::disposeRecords();
    store::forgetClock();
    store::disposeVariables();
    store::resetSaveState();
    store::releaseDataFolder();
    isRunning = false;
}

// Starts a life: see initializeServerPlugin.
void startLife(void* handle, int32_t count, char** arguments) {
    if (isRunning) endLife();  // started again without a shutdown: that life ends as at shutdown
    FormattedLogMessage(0, kLogSource, kLogFormat, kVersionMajor, kVersionMinor, kVersionBuild);
    registerArguments(count, arguments);
    store::reportCutNames(count, arguments);
    store::holdDataFolder();
    store::loadStats();
    isRunning = true;
    scheduleTimerEvent(handle, 0, kFirstTimerDelay);
}

// Handles a timer event: see handleTimerEvent.
int32_t timerEvent(void* handle) {
    if (!isRunning) return 0;  // no tables to save over the file, and no next event
    expireAndSave();
    return scheduleTimerEvent(handle, 0, kTimerDelay);
}

}  // namespace

bool plugin::running() { return isRunning; }

void plugin::checkTables() {
#ifdef MORVELT_INDEX_CHECKS
    store::checkTables(isRunning);
#endif
}

PLUGIN_EXPORT void* initializeServerPlugin(void* handle, int32_t count, char** arguments) {
    startLife(handle, count, arguments);
    plugin::checkTables();
    return handle;
}

PLUGIN_EXPORT int32_t handleTimerEvent(void* /*first*/, void* handle, void* /*third*/) {
    int32_t result = timerEvent(handle);
    plugin::checkTables();
    return result;
}

PLUGIN_EXPORT void* shutdownServerPlugin(void* /*unused*/) {
    if (isRunning) endLife();  // else shut down already: the empty tables must not be saved
    plugin::checkTables();
    return nullptr;
}
