// The host's functions as the plug-in sees them. The host exports them by name from its
// executable; the plug-in leaves them undefined and binds to them when it is loaded.
// Every argument and result is one machine word in the host's 32-bit process.
#pragma once

#include <stdint.h>

extern "C" {

// Writes one line to the host's log. `zero` is always 0.
void FormattedLogMessage(int32_t zero, const char* source, const char* format, ...);

// Asks the host to call handleTimerEvent once, `delay` timer units from now, with `handle` as
// its second argument. The result is passed on unread.
int32_t scheduleTimerEvent(void* handle, int32_t zero, int32_t delay);

// A block of `size` bytes, all zero, or null.
void* NewPtrClear(int32_t size);

// Releases a block from NewPtrClear or from the C library's heap; null is accepted.
void DisposePtr(void* block);

// The RoomRecord of a room, or null.
void* GetRoom(int32_t roomId);

// The HotspotRecord of spot `spotId` within `room`, or null.
void* GetHotspot(void* room, int32_t spotId);

// The name stored at `name` (inside a room's data block) as NUL-terminated text, in a buffer
// the host owns and overwrites at the next call; or null.
const char* CvtToCString(const void* name);

}  // extern "C"
