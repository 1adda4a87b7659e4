// Whether the plug-in is between a start-up and its shutdown. Outside that time the entry
// points leave the tables, the host's memory and the host's rooms alone.
#pragma once

namespace plugin {

// True from the end of initializeServerPlugin to the end of shutdownServerPlugin.
bool running();

// In the test build (MORVELT_INDEX_CHECKS), checks the tables' rules after an entry point, for
// morveltIndexCheck to report; elsewhere does nothing.
void checkTables();

}  // namespace plugin
