// Marks what the host may see of the plug-in: the four entry points and the four globals that
// hold its state. Everything else is built hidden.
#pragma once

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
