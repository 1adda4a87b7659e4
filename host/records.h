// The host's records and messages as the plug-in sees them: byte offsets of the fields it
// touches, the event codes it acts on, and small typed accessors. No offset appears anywhere
// else. Fields are little-endian; address fields are 32 bits wide, since the host is a 32-bit
// process (a native 64-bit build works as long as the host keeps its records below 4 GiB).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace host {

// MessageContext, handleMessage's first argument.
constexpr size_t kContextUser = 0;  // address of the sender's UserRecord
constexpr size_t kContextRoom = 4;  // address of the RoomRecord a logon concerns
constexpr size_t kContextSize = 8;

// UserRecord.
constexpr size_t kUserWordA = 16;    // identity word A, 32 bits
constexpr size_t kUserWordB = 20;    // identity word B, 32 bits
constexpr size_t kUserRoomId = 1220; // room the user is in, 16 bits signed
constexpr size_t kUserSize = 1222;

// RoomRecord.
constexpr size_t kRoomDataBase = 1084;   // address of the room's data block
constexpr size_t kRoomSpotCount = 1110;  // number of spots, 16 bits unsigned
constexpr size_t kRoomSpotArray = 1112;  // spot array's offset in the data block, 16 bits signed
constexpr size_t kRoomSize = 1114;

// HotspotRecord: kSpotSize bytes each, one after the other in the spot array.
constexpr size_t kSpotSize = 48;
constexpr size_t kSpotState = 36;  // 16 bits signed; the plug-in writes it
constexpr size_t kSpotName = 42;   // name's offset in the room's data block, 16 bits signed

// ServerMessage: a 12-byte header, then the body.
constexpr size_t kMessageEvent = 0;   // event code, 32 bits unsigned
constexpr size_t kMessageBody = 12;
constexpr size_t kEntryRoomId = 12;   // room-entry: destination room id, 16 bits signed
constexpr size_t kSpotRoomId = 12;    // spot-state: room id, 16 bits signed
constexpr size_t kSpotSpotId = 14;    // spot-state: spot id, 16 bits signed
constexpr size_t kSpotNewState = 16;  // spot-state: new state, 16 bits
constexpr size_t kLogonWordA = 12;    // logon: identity word A, 32 bits
constexpr size_t kLogonWordB = 16;    // logon: identity word B, 32 bits
constexpr size_t kMessageSize = 20;   // the longest body the plug-in reads ends here

// Event codes; each also reads as four characters, most significant byte first.
constexpr uint32_t kEventRoomEntry = 0x6E617652;  // "navR"
constexpr uint32_t kEventSpotState = 0x73537461;  // "sSta"
constexpr uint32_t kEventLogon = 0x72656769;      // "regi"

inline uint32_t readU32(const void* record, size_t offset) {
    uint32_t v;
    memcpy(&v, static_cast<const char*>(record) + offset, sizeof v);
    return v;
}

inline uint16_t readU16(const void* record, size_t offset) {
    uint16_t v;
    memcpy(&v, static_cast<const char*>(record) + offset, sizeof v);
    return v;
}

inline int16_t readS16(const void* record, size_t offset) {
    int16_t v;
    memcpy(&v, static_cast<const char*>(record) + offset, sizeof v);
    return v;
}

inline void writeS16(void* record, size_t offset, int16_t v) {
    memcpy(static_cast<char*>(record) + offset, &v, sizeof v);
}

// The 32-bit address field at `offset`, as a pointer.
inline void* readAddress(const void* record, size_t offset) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(readU32(record, offset)));
}

// The user key of a user with identity words A and B. Stored data files are keyed by it, so it
// must never change.
constexpr uint32_t userKey(uint32_t wordA, uint32_t wordB) { return wordA ^ wordB; }

}  // namespace host
