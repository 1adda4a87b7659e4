// The host's seven functions, exported from the simulator's executable so that the plug-in
// binds to them when it is loaded. Each acts on the current Host.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "sim/host.h"

#define HOST_EXPORT extern "C" __attribute__((visibility("default")))

using hostsim::Host;

// The current Host, with the call counted; null when there is none.
static Host* callee() {
    Host* host = Host::current();
    if (host != nullptr) host->countHostCall();
    return host;
}

HOST_EXPORT void FormattedLogMessage(int32_t /*zero*/, const char* source, const char* format, ...) {
    Host* host = callee();
    if (host == nullptr || format == nullptr) return;
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    host->writeLog(std::string("[") + (source != nullptr ? source : "") + "] " + text);
}

HOST_EXPORT int32_t scheduleTimerEvent(void* handle, int32_t zero, int32_t delay) {
    Host* host = callee();
    return host == nullptr ? 0 : host->scheduleTimer(handle, zero, delay);
}

HOST_EXPORT void* NewPtrClear(int32_t size) {
    Host* host = callee();
    return host == nullptr ? nullptr : host->newPtrClear(size);
}

HOST_EXPORT void DisposePtr(void* block) {
    if (Host* host = callee()) host->disposePtr(block);
}

// Room and spot ids are 16-bit; an id outside that range (one zero-extended instead of
// sign-extended, say) names nothing.
static bool isId(int32_t id) { return id >= INT16_MIN && id <= INT16_MAX; }

HOST_EXPORT void* GetRoom(int32_t roomId) {
    Host* host = callee();
    return host == nullptr || !isId(roomId) ? nullptr : host->room(static_cast<int16_t>(roomId));
}

HOST_EXPORT void* GetHotspot(void* room, int32_t spotId) {
    Host* host = callee();
    return host == nullptr || !isId(spotId) ? nullptr : host->spot(room, static_cast<int16_t>(spotId));
}

HOST_EXPORT const char* CvtToCString(const void* name) {
    Host* host = callee();
    return host == nullptr ? nullptr : host->convertName(name);
}
