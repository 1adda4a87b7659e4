// Message handling: the stats hotspots.
//
// A room entry or a logon shows the user's values on the room's "GetStats-<variable>" spots
// and resets its "SetStats-<variable>" spots to 0. A change to a "SetStats-" spot stores the
// new state as the user's value; a change to a "GetStats-" spot, or to any spot of a room the
// sender is not in, is dropped. Every other message passes untouched.
#include <stdint.h>
#include <string.h>

#include "host/api.h"
#include "host/export.h"
#include "host/records.h"
#include "store/records.h"
#include "store/variables.h"

namespace {

constexpr char kGetPrefix[] = "GetStats-";
constexpr char kSetPrefix[] = "SetStats-";
constexpr size_t kPrefixLength = sizeof kGetPrefix - 1;
static_assert(sizeof kSetPrefix == sizeof kGetPrefix, "prefixes share a length");

bool hasPrefix(const char* name, const char* prefix) {
    return strncmp(name, prefix, kPrefixLength) == 0;
}

// The user key of the sender whose UserRecord is `user`.
uint32_t senderKey(const void* user) {
    return host::userKey(host::readU32(user, host::kUserWordA), host::readU32(user, host::kUserWordB));
}

// The address of a room's data block, or null.
char* roomData(const void* room) { return static_cast<char*>(host::readAddress(room, host::kRoomDataBase)); }

// The name of a spot of `room` as text, or null (also when the room has no data block).
const char* spotName(const void* room, const void* spot) {
    const char* data = roomData(room);
    if (data == nullptr) return nullptr;
    return CvtToCString(data + host::readS16(spot, host::kSpotName));
}

// The value `record` holds for the variable named `variable`, or 0.
int16_t valueOf(const StatRecord* record, const char* variable) {
    uint32_t index = store::variableIndex(variable);
    if (record == nullptr || record->values == nullptr || index == 0) return 0;
    return record->values[index - 1];
}

}  // namespace

namespace plugin {

// Sets the states of `room`'s "GetStats-" spots to the values of the user with `key` (0 where
// there is none) and of its "SetStats-" spots to 0. Other spots, records and stamps are left as
// they are.
void fillStatsSpots(void* room, uint32_t key) {
    if (room == nullptr) return;
    char* data = roomData(room);
    uint16_t count = host::readU16(room, host::kRoomSpotCount);
    if (data == nullptr || count == 0) return;
    char* spots = data + host::readS16(room, host::kRoomSpotArray);
    const StatRecord* record = store::findRecord(key);
    for (uint16_t i = 0; i < count; ++i) {
        char* spot = spots + i * host::kSpotSize;
        const char* name = spotName(room, spot);
        if (name == nullptr) continue;
        if (hasPrefix(name, kGetPrefix))
            host::writeS16(spot, host::kSpotState, valueOf(record, name + kPrefixLength));
        else if (hasPrefix(name, kSetPrefix))
            host::writeS16(spot, host::kSpotState, 0);
    }
}

// Handles a spot-state message from the sender in `context`: returns null to drop a change to a
// room the sender is not in or to a "GetStats-" spot; stores a change to a "SetStats-" spot as
// the user's value and returns the message; returns any other message unchanged.
void* captureSpotState(void* context, void* message, uint32_t key) {
    const void* user = host::readAddress(context, host::kContextUser);
    int16_t roomId = host::readS16(message, host::kSpotRoomId);
    if (roomId != host::readS16(user, host::kUserRoomId)) return nullptr;
    void* room = GetRoom(roomId);
    if (room == nullptr) return message;
    void* spot = GetHotspot(room, host::readS16(message, host::kSpotSpotId));
    if (spot == nullptr) return message;
    const char* name = spotName(room, spot);
    if (name == nullptr) return message;
    if (hasPrefix(name, kGetPrefix)) return nullptr;
    if (!hasPrefix(name, kSetPrefix)) return message;
    StatRecord* record = store::findOrCreateRecord(key, 0);
    uint32_t index = store::variableIndex(name + kPrefixLength);
    if (record == nullptr || index == 0 || record->values == nullptr) return message;
    record->values[index - 1] = host::readS16(message, host::kSpotNewState);
    return message;
}

}  // namespace plugin

// A message with no context, or whose context names no sender, passes with nothing written.
PLUGIN_EXPORT void* handleMessage(void* context, void* /*second*/, void* message) {
    if (context == nullptr || message == nullptr) return message;
    const void* user = host::readAddress(context, host::kContextUser);
    if (user == nullptr) return message;
    switch (host::readU32(message, host::kMessageEvent)) {
        case host::kEventRoomEntry:
            plugin::fillStatsSpots(GetRoom(host::readS16(message, host::kEntryRoomId)), senderKey(user));
            return message;
        case host::kEventLogon:
            plugin::fillStatsSpots(
                host::readAddress(context, host::kContextRoom),
                host::userKey(host::readU32(message, host::kLogonWordA), host::readU32(message, host::kLogonWordB)));
            return message;
        case host::kEventSpotState:
            return plugin::captureSpotState(context, message, senderKey(user));
        default:
            return message;
    }
}
