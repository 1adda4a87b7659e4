// Marks what the host may see of the plug-in: the four entry points and the four globals that
// hold its state. Everything else is built hidden.
#pragma once

#ifdef MORVELT_STORE_IN_TOOL
// The store compiled into the simulator tool keeps its tables to itself.
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("hidden")))
#else
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif
