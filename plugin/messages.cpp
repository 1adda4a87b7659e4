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
#include "plugin/running.h"
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

// The address `offset` bytes from a data block's base `data`, as the 32-bit host reckons it: the
// sum wraps at 4 GiB, and is null where the two cancel out.
char* dataAddress(const char* data, int16_t offset) {
    uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data)) + static_cast<uint32_t>(offset);
    return reinterpret_cast<char*>(static_cast<uintptr_t>(address));
}

// The name of a spot of `room` as text, or null (also when the room has no data block or the
// name's address is null).
const char* spotName(const void* room, const void* spot) {
    const char* data = roomData(room);
    if (data == nullptr) return nullptr;
    const char* stored = dataAddress(data, host::readS16(spot, host::kSpotName));
    return stored == nullptr ? nullptr : CvtToCString(stored);
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
// they are, and so is a room whose data block or spot array address is null.
void fillStatsSpots(void* room, uint32_t key) {
    if (room == nullptr) return;
    char* data = roomData(room);
    uint16_t count = host::readU16(room, host::kRoomSpotCount);
    if (data == nullptr || count == 0) return;
    char* spots = dataAddress(data, host::readS16(room, host::kRoomSpotArray));
    if (spots == nullptr) return;
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
    int16_t value = host::readS16(message, host::kSpotNewState);
    if (record->values[index - 1] != value) {
        record->values[index - 1] = value;
        store::noteChange();
    }
    return message;
}

}  // namespace plugin

// A message while the plug-in is not running (before its first start-up, after a shutdown) passes
// with no host call and nothing made or written: there are no variables to size a record by. A
// message with no context passes with nothing written, and so do a room entry or spot change
// whose context names no sender. A logon reads no sender: its key comes from its body, its room
// from the context, and a host may send it before the user's record is filled in.
static void* handleStatsMessage(void* context, void* message) {
    if (!plugin::running() || context == nullptr || message == nullptr) return message;
    const void* user = host::readAddress(context, host::kContextUser);
    switch (host::readU32(message, host::kMessageEvent)) {
        case host::kEventLogon:
            plugin::fillStatsSpots(
                host::readAddress(context, host::kContextRoom),
                host::userKey(host::readU32(message, host::kLogonWordA), host::readU32(message, host::kLogonWordB)));
            return message;
        case host::kEventRoomEntry:
            if (user != nullptr)
                plugin::fillStatsSpots(GetRoom(host::readS16(message, host::kEntryRoomId)), senderKey(user));
            return message;
        case host::kEventSpotState:
            return user == nullptr ? message : plugin::captureSpotState(context, message, senderKey(user));
        default:
            return message;
    }
}

// The host's entry point: handleStatsMessage, then the test build's check of the tables.
PLUGIN_EXPORT void* handleMessage(void* context, void* /*second*/, void* message) {
    void* result = handleStatsMessage(context, message);
    plugin::checkTables();
    return result;
}
