// Message handling: room entries and logons fill the room's stats spots, spot-state changes are
// stored or dropped, and every other message passes untouched.
#include <string.h>

#include <vector>

#include "host/records.h"
#include "tests/plugin_fixture.h"
#include "tests/stats_state.h"

namespace {

using hostsim::DataBase;
using hostsim::RoomLayout;
using hostsim::Spot;

constexpr int16_t kStoreRoom = 100;  // where users store their values: spot 1 score, spot 2 gold
constexpr int16_t kPreset = 5;       // a state the plug-in never writes in these tests

class MessagesTest : public PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        start({"gold", "score"});  // score is variable 1, gold variable 2
        host.addRoom(kStoreRoom, {"SetStats-score", "SetStats-gold"});
    }

    // Moves `user` into the store room and stores its two values there.
    void storeValues(void* user, int16_t score, int16_t gold) {
        ASSERT_TRUE(host.enterRoom(user, kStoreRoom));
        ASSERT_TRUE(host.changeSpot(user, kStoreRoom, 1, score));
        ASSERT_TRUE(host.changeSpot(user, kStoreRoom, 2, gold));
    }

    // The states of spots 1..count of a room.
    std::vector<int16_t> states(int16_t roomId, int16_t count) {
        std::vector<int16_t> result;
        for (int16_t id = 1; id <= count; ++id) result.push_back(host.spotState(roomId, id));
        return result;
    }

    // Sets spots 1..count of a room to kPreset.
    void preset(int16_t roomId, int16_t count) {
        for (int16_t id = 1; id <= count; ++id) host.setSpotState(roomId, id, kPreset);
    }

    const StatRecord* recordOf(uint32_t key) {
        for (uint32_t i = 0; i < host.plugin().recordCount(); ++i)
            if (host.plugin().records()[i].key == key) return &host.plugin().records()[i];
        return nullptr;
    }

    // The values of the user with `key`: score, then gold; none without a record.
    std::vector<int16_t> valuesOf(uint32_t key) {
        const StatRecord* record = recordOf(key);
        if (record == nullptr) return {};
        return {record->values[0], record->values[1]};
    }

    // The first value of the user with `key`; -1 without a record.
    int16_t scoreOf(uint32_t key) {
        const StatRecord* record = recordOf(key);
        return record == nullptr || record->values == nullptr ? -1 : record->values[0];
    }

    void* spotMessage(int16_t roomId, int16_t spotId, int16_t state) {
        void* message = host.makeMessage(host::kEventSpotState);
        host::writeS16(message, host::kSpotRoomId, roomId);
        host::writeS16(message, host::kSpotSpotId, spotId);
        host::writeS16(message, host::kSpotNewState, state);
        return message;
    }

    void* logonMessage(uint32_t wordA, uint32_t wordB) {
        void* message = host.makeMessage(host::kEventLogon);
        memcpy(static_cast<char*>(message) + host::kLogonWordA, &wordA, 4);
        memcpy(static_cast<char*>(message) + host::kLogonWordB, &wordB, 4);
        return message;
    }

    // Hands `message` to the plug-in; true when it passed. The plug-in must return the message
    // itself or null, and must leave the message's bytes as they were.
    bool passes(void* context, void* message) {
        char before[host::kMessageSize];
        memcpy(before, message, sizeof before);
        void* result = host.send(context, message);
        EXPECT_TRUE(result == message || result == nullptr) << result;
        EXPECT_EQ(memcmp(before, message, sizeof before), 0) << "the message was altered";
        return result == message;
    }
};

// ---- Fills ------------------------------------------------------------------------------

TEST_F(MessagesTest, StoredValueShowsOnGetSpotsOfAnotherRoom) {
    host.addRoom(1, {"SetStats-score"});
    host.addRoom(2, {"GetStats-score", "SetStats-score", "SetStats-gold", "GetStats-gold"});
    void* alice = host.addUser(0x00010000, 0x00000001);
    ASSERT_TRUE(host.logon(alice, 1));
    ASSERT_TRUE(host.changeSpot(alice, 1, 1, 7));
    EXPECT_EQ(host.spotState(1, 1), 7);  // the host applied the change

    preset(2, 4);
    ASSERT_TRUE(host.enterRoom(alice, 2));
    EXPECT_EQ(states(2, 4), (std::vector<int16_t>{7, 0, 0, 0}));
}

TEST_F(MessagesTest, EachFillOverwritesTheRoomWithTheLatestUsersValues) {
    host.addRoom(2, {"GetStats-score", "GetStats-gold", "SetStats-score"});
    void* alice = host.addUser(0x00010000, 0x00000001);
    void* bob = host.addUser(0x00020000, 0x00000002);
    void* carol = host.addUser(0x00030000, 0x00000003);  // never stores anything
    storeValues(alice, 7, 3);
    storeValues(bob, 9, 0);

    ASSERT_TRUE(host.enterRoom(alice, 2));
    EXPECT_EQ(states(2, 3), (std::vector<int16_t>{7, 3, 0}));
    ASSERT_TRUE(host.changeSpot(alice, 2, 3, 4));
    EXPECT_EQ(states(2, 3), (std::vector<int16_t>{7, 3, 4}));
    ASSERT_TRUE(host.enterRoom(bob, 2));
    EXPECT_EQ(states(2, 3), (std::vector<int16_t>{9, 0, 0}));
    ASSERT_TRUE(host.logon(carol, 2));
    EXPECT_EQ(states(2, 3), (std::vector<int16_t>{0, 0, 0}));
    ASSERT_TRUE(host.enterRoom(alice, 2));
    EXPECT_EQ(states(2, 3), (std::vector<int16_t>{4, 3, 0}));  // the last value stored
}

TEST_F(MessagesTest, LogonFillsTheContextsRoomForTheWordsInTheLogonBody) {
    void* room2 = host.addRoom(2, {"GetStats-score", "SetStats-score"});
    host.addRoom(3, {"GetStats-score"});
    void* alice = host.addUser(0x00010000, 0x00000001);
    storeValues(alice, 7, 0);
    // The context's user has other words and is in room 3, or there is none (a host may send
    // the logon before the user's record is filled in): no sender is read for a logon.
    void* stranger = host.addUser(0x00070000, 0x00000007, 3);
    for (void* sender : {stranger, static_cast<void*>(nullptr)}) {
        SCOPED_TRACE(sender == nullptr ? "no sender" : "another sender");
        preset(2, 2);
        preset(3, 1);
        EXPECT_TRUE(passes(host.makeContext(sender, room2), logonMessage(0x00010000, 0x00000001)));
        EXPECT_EQ(states(2, 2), (std::vector<int16_t>{7, 0}));
        EXPECT_EQ(host.spotState(3, 1), kPreset);
    }
}

TEST_F(MessagesTest, RoomEntryFillsTheDestinationForTheSendersRecord) {
    host.addRoom(2, {"GetStats-score"});
    host.addRoom(3, {"GetStats-score"});
    void* alice = host.addUser(0x00010000, 0x00000001);
    storeValues(alice, 7, 0);
    ASSERT_TRUE(host.enterRoom(alice, 3));
    preset(2, 1);
    preset(3, 1);

    ASSERT_TRUE(host.enterRoom(alice, 2));  // the context names room 3, where alice is
    EXPECT_EQ(host.spotState(2, 1), 7);
    EXPECT_EQ(host.spotState(3, 1), kPreset);
}

TEST_F(MessagesTest, FillsNeitherCreateNorStampRecords) {
    host.addRoom(2, {"GetStats-score", "SetStats-score"});
    void* alice = host.addUser(0x00010000, 0x00000001);
    void* bob = host.addUser(0x00020000, 0x00000002);
    storeValues(alice, 7, 0);
    ASSERT_NE(recordOf(0x00010001), nullptr);
    uint32_t stamp = recordOf(0x00010001)->stamp;

    host.advance(100);
    ASSERT_TRUE(host.enterRoom(alice, 2));
    ASSERT_TRUE(host.enterRoom(bob, 2));
    ASSERT_TRUE(host.logon(bob, 2));
    ASSERT_EQ(host.plugin().recordCount(), 1u);
    EXPECT_EQ(host.plugin().records()[0].stamp, stamp);
}

TEST_F(MessagesTest, FillMatchesPrefixesExactlyAndCaseSensitively) {
    const struct {
        const char* name;
        int16_t state;  // after alice (score 7, gold 3) enters; kPreset: left alone
    } cases[] = {
        {"GetStats-score", 7},
        {"GetStats-gold", 3},
        {"SetStats-score", 0},
        {"SetStats-nothing", 0},
        {"GetStats-Score", 0},       // variable names are case-sensitive
        {"GetStats-score ", 0},      // the whole rest of the name is the variable
        {"GetStats-nothing", 0},
        {"GetStats-", 0},            // the empty name is no variable here
        {"getstats-score", kPreset},
        {"GETSTATS-score", kPreset},
        {"setstats-score", kPreset},
        {"GetStats_score", kPreset},
        {"GetStatsscore", kPreset},
        {"GetStats", kPreset},
        {" GetStats-score", kPreset},
        {"score", kPreset},
        {"", kPreset},
    };
    std::vector<std::string> names;
    for (const auto& c : cases) names.push_back(c.name);
    host.addRoom(1, names);
    void* alice = host.addUser(0x00010000, 0x00000001);
    storeValues(alice, 7, 3);
    int16_t count = static_cast<int16_t>(names.size());
    preset(1, count);

    ASSERT_TRUE(host.enterRoom(alice, 1));
    for (int16_t id = 1; id <= count; ++id)
        EXPECT_EQ(host.spotState(1, id), cases[id - 1].state) << '"' << cases[id - 1].name << '"';
}

TEST_F(MessagesTest, UnconvertibleNamesAreSkippedByAFillAndPassedByAChange) {
    host.addRoom(1, std::vector<Spot>{{"GetStats-score", 0, false}, {"GetStats-score"}, {"SetStats-score", 0, false}});
    void* alice = host.addUser(0x00010000, 0x00000001);
    storeValues(alice, 7, 0);
    preset(1, 3);

    ASSERT_TRUE(host.enterRoom(alice, 1));
    EXPECT_EQ(states(1, 3), (std::vector<int16_t>{kPreset, 7, kPreset}));
    EXPECT_TRUE(host.changeSpot(alice, 1, 1, 9));
    EXPECT_TRUE(host.changeSpot(alice, 1, 3, 9));
    EXPECT_EQ(valuesOf(0x00010001), (std::vector<int16_t>{7, 0}));
}

TEST_F(MessagesTest, RoomsWithNoSpotsOrNoDataBlockAreLeftAlone) {
    RoomLayout noData;
    noData.base = DataBase::Null;
    host.addRoom(1, std::vector<Spot>{{"GetStats-score"}, {"SetStats-score"}}, noData);
    host.addRoom(2, std::vector<Spot>{});
    void* alice = host.addUser(0x00010000, 0x00000001);
    storeValues(alice, 7, 0);
    preset(1, 2);

    EXPECT_TRUE(host.enterRoom(alice, 1));
    EXPECT_TRUE(host.logon(alice, 1));
    EXPECT_TRUE(host.changeSpot(alice, 1, 1, 9));
    EXPECT_TRUE(host.changeSpot(alice, 1, 2, 9));
    EXPECT_EQ(states(1, 2), (std::vector<int16_t>{9, 9}));  // as the host applied them
    EXPECT_EQ(valuesOf(0x00010001), (std::vector<int16_t>{7, 0}));
    EXPECT_TRUE(host.enterRoom(alice, 2));
    EXPECT_TRUE(host.logon(alice, 2));
}

TEST_F(MessagesTest, NegativeArrayAndNameOffsetsAreSignExtended) {
    const RoomLayout layouts[] = {
        {16, DataBase::Block, false},
        {-200, DataBase::Block, false},  // the spot array lies before the data block's base
        {16, DataBase::Block, true},     // the names lie before the base
        {-200, DataBase::Block, true},
    };
    void* alice = host.addUser(0x00010000, 0x00000001);
    storeValues(alice, 7, 0);
    int16_t roomId = 1;
    for (const RoomLayout& layout : layouts) {
        SCOPED_TRACE(testing::Message() << "array offset " << layout.spotArrayOffset << ", names before base "
                                        << layout.namesBeforeBase);
        ASSERT_NE(host.addRoom(roomId, std::vector<Spot>{{"GetStats-score"}, {"SetStats-gold"}}, layout), nullptr);
        preset(roomId, 2);
        ASSERT_TRUE(host.enterRoom(alice, roomId));
        EXPECT_EQ(states(roomId, 2), (std::vector<int16_t>{7, 0}));
        EXPECT_TRUE(host.changeSpot(alice, roomId, 2, roomId));
        EXPECT_EQ(valuesOf(0x00010001), (std::vector<int16_t>{7, roomId}));
        EXPECT_FALSE(host.changeSpot(alice, roomId, 1, 9));
        ++roomId;
    }
}

TEST_F(MessagesTest, NothingIsReadThroughANullSpotArrayOrNameAddress) {
    // The data block's address is not null, but adding the array's or a name's offset gives null.
    const RoomLayout arrayAtNull[] = {{16, DataBase::SpotArrayAtNull, false}, {-200, DataBase::SpotArrayAtNull, false}};
    for (int16_t roomId : {1, 2})
        ASSERT_NE(host.addRoom(roomId, std::vector<Spot>{{"GetStats-score"}, {"SetStats-score"}}, arrayAtNull[roomId - 1]),
                  nullptr);
    RoomLayout nameAtNull;
    nameAtNull.base = DataBase::NameAtNull;
    ASSERT_NE(host.addRoom(3, std::vector<Spot>{{"SetStats-score"}}, nameAtNull), nullptr);
    void* alice = host.addUser(0x00010000, 0x00000001);
    storeValues(alice, 7, 0);
    void* aliceInRoom3 = host.addUser(0x00010000, 0x00000001, 3);  // a room entry there would read a wild array

    // Reading there would crash the host (and the simulator): each try runs in a child.
    EXPECT_EXIT(exit(host.enterRoom(alice, 1) && host.logon(alice, 2) && host.changeSpot(alice, 2, 2, 9) ? 0 : 1),
                testing::ExitedWithCode(0), "");
    EXPECT_EXIT(exit(host.changeSpot(aliceInRoom3, 3, 1, 9) && valuesOf(0x00010001) == std::vector<int16_t>{7, 0} ? 0 : 1),
                testing::ExitedWithCode(0), "");
}

// ---- Spot-state changes -----------------------------------------------------------------

TEST_F(MessagesTest, SpotChangesAreStoredPassedOrDropped) {
    host.addRoom(1, {"SetStats-score", "SetStats-gold", "GetStats-score", "GetStats-nothing", "getstats-score",
                     "setstats-score", "SetStats-Score", "SetStats-", "Door"});
    host.addRoom(2, {"SetStats-score", "Door"});
    enum Record { kNone, kEmpty, kScore, kGold };  // the record the change leaves, and what it holds
    const struct {
        int16_t room;
        int16_t spot;
        bool passes;
        Record record;
    } cases[] = {
        {1, 1, true, kScore},
        {1, 2, true, kGold},
        {1, 3, false, kNone},   // users cannot change a GetStats- spot
        {1, 4, false, kNone},   // even one naming no variable
        {1, 5, true, kNone},
        {1, 6, true, kNone},
        {1, 7, true, kEmpty},   // no such variable: the record is still made and stamped
        {1, 8, true, kEmpty},
        {1, 9, true, kNone},
        {1, 99, true, kNone},   // no such spot
        {2, 1, false, kNone},   // any change to a room the user is not in is dropped
        {2, 2, false, kNone},
        {3, 1, false, kNone},   // even to a room that does not exist
    };
    uint32_t wordA = 0x00100000;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "room " << c.room << ", spot " << c.spot);
        void* user = host.addUser(++wordA, 0, 1);
        host.advance(1);
        EXPECT_EQ(host.changeSpot(user, c.room, c.spot, -12), c.passes);
        const StatRecord* record = recordOf(wordA);
        ASSERT_EQ(record != nullptr, c.record != kNone);
        if (record == nullptr) continue;
        EXPECT_EQ(record->stamp, host.now());
        EXPECT_EQ(record->values[0], c.record == kScore ? -12 : 0);
        EXPECT_EQ(record->values[1], c.record == kGold ? -12 : 0);
    }
}

TEST_F(MessagesTest, ValuesKeepTheirSixteenBits) {
    host.addRoom(1, {"GetStats-score"});
    uint32_t wordA = 0x00100000;
    for (int16_t state : {int16_t{-1}, int16_t{-32768}, int16_t{32767}, int16_t{0x1234}, int16_t{-0x1234}}) {
        SCOPED_TRACE(state);
        void* user = host.addUser(++wordA, 0);
        storeValues(user, state, 0);
        EXPECT_EQ(valuesOf(wordA), (std::vector<int16_t>{state, 0}));
        ASSERT_TRUE(host.enterRoom(user, 1));
        EXPECT_EQ(host.spotState(1, 1), state);
    }
}

TEST_F(MessagesTest, NegativeRoomAndSpotIdsAreSignExtended) {
    host.addRoom(-2, std::vector<Spot>{{"SetStats-score", -3}, {"GetStats-score", -32768}});
    void* alice = host.addUser(0x00010000, 0x00000001);
    ASSERT_TRUE(host.logon(alice, -2));
    ASSERT_TRUE(host.changeSpot(alice, -2, -3, 7));
    EXPECT_EQ(valuesOf(0x00010001), (std::vector<int16_t>{7, 0}));
    EXPECT_FALSE(host.changeSpot(alice, -2, -32768, 9));
    ASSERT_TRUE(host.enterRoom(alice, kStoreRoom));
    ASSERT_TRUE(host.enterRoom(alice, -2));
    EXPECT_EQ(host.spotState(-2, -32768), 7);
}

// ---- Keys -------------------------------------------------------------------------------

TEST_F(MessagesTest, UserKeyIsWordAXorWordB) {
    host.addRoom(1, {"GetStats-score"});
    void* alice = host.addUser(0x12345678, 0x0F0F0F0F);
    storeValues(alice, 7, 0);
    ASSERT_EQ(host.plugin().recordCount(), 1u);
    EXPECT_EQ(host.plugin().records()[0].key, 0x1D3B5977u);

    // Other words with the same exclusive or are the same user.
    for (auto words : {std::pair<uint32_t, uint32_t>{0x1D3B5977, 0}, {0x0F0F0F0F, 0x12345678}, {0xFFFFFFFF, 0xE2C4A688}}) {
        SCOPED_TRACE(testing::Message() << std::hex << words.first << " " << words.second);
        host.setSpotState(1, 1, kPreset);
        ASSERT_TRUE(host.logon(host.addUser(words.first, words.second), 1));
        EXPECT_EQ(host.spotState(1, 1), 7);
    }
}

TEST_F(MessagesTest, KeysOfAThousandOrLessAreNeverRecorded) {
    host.addRoom(1, {"SetStats-score", "GetStats-score"});
    const struct {
        uint32_t wordA, wordB;
        bool recorded;
    } cases[] = {
        {0x0000DEAD, 0x0000DEAD, false},  // key 0
        {1, 0, false},
        {1000, 0, false},
        {0x12345678, 0x12345678 ^ 1000u, false},
        {1001, 0, true},
        {0x12345678, 0x12345678 ^ 1001u, true},  // the same key as the case before
        {0x80000000, 0x7FFFFFFF, true},          // key 0xFFFFFFFF
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wordA ^ c.wordB);
        void* user = host.addUser(c.wordA, c.wordB, 1);
        EXPECT_TRUE(host.changeSpot(user, 1, 1, 7));
        EXPECT_EQ(recordOf(c.wordA ^ c.wordB) != nullptr, c.recorded);
        host.setSpotState(1, 2, kPreset);
        ASSERT_TRUE(host.enterRoom(user, 1));
        EXPECT_EQ(host.spotState(1, 2), c.recorded ? 7 : 0);
    }
    EXPECT_EQ(host.plugin().recordCount(), 2u);
}

// ---- Everything else passes --------------------------------------------------------------

TEST_F(MessagesTest, UnknownRoomsAndSpotsPassWithNothingWritten) {
    host.addRoom(1, {"GetStats-score", "SetStats-score"});
    void* alice = host.addUser(0x00010000, 0x00000001);
    storeValues(alice, 7, 0);
    ASSERT_TRUE(host.enterRoom(alice, 1));
    preset(1, 2);

    EXPECT_TRUE(host.changeSpot(alice, 1, 3, 9));
    EXPECT_TRUE(host.enterRoom(alice, 42));       // no such room
    EXPECT_TRUE(host.changeSpot(alice, 42, 1, 9));  // alice is in it, but it does not exist
    EXPECT_TRUE(host.logon(alice, 43));           // the context names no room
    EXPECT_EQ(states(1, 2), (std::vector<int16_t>{kPreset, kPreset}));
    EXPECT_EQ(host.plugin().recordCount(), 1u);
    EXPECT_EQ(valuesOf(0x00010001), (std::vector<int16_t>{7, 0}));
}

TEST_F(MessagesTest, OtherEventCodesPassUntouched) {
    void* room = host.addRoom(1, {"GetStats-score"});
    void* alice = host.addUser(0x00010000, 0x00000001);
    storeValues(alice, 7, 0);
    ASSERT_TRUE(host.enterRoom(alice, 1));
    preset(1, 1);
    uint32_t records = host.plugin().recordCount();

    // Each body would be dropped as a spot-state change and would fill room 1 as a room entry.
    for (uint32_t event : {0u, 0xFFFFFFFFu, 0x5276616Eu /* "navR" reversed */, 0x61745373u /* "sSta" reversed */,
                           host::kEventSpotState + 1, host::kEventRoomEntry ^ 0x20202020u, 0x52454749u /* "REGI" */}) {
        SCOPED_TRACE(testing::Message() << std::hex << event);
        void* message = spotMessage(1, 1, 9);
        memcpy(message, &event, 4);
        EXPECT_TRUE(passes(host.makeContext(alice, room), message));
    }
    EXPECT_EQ(host.spotState(1, 1), kPreset);
    EXPECT_EQ(host.plugin().recordCount(), records);
}

TEST_F(MessagesTest, NullContextSenderOrMessagePassesWithNothingWritten) {
    void* room = host.addRoom(1, {"GetStats-score", "SetStats-score"});
    void* alice = host.addUser(0x00010000, 0x00000001);
    storeValues(alice, 7, 0);
    ASSERT_TRUE(host.enterRoom(alice, 1));
    preset(1, 2);

    void* entry = host.makeMessage(host::kEventRoomEntry);
    host::writeS16(entry, host::kEntryRoomId, 1);
    void* logon = logonMessage(0x00010000, 0x00000001);
    void* messages[] = {entry, logon, spotMessage(1, 1, 9), spotMessage(1, 2, 9)};
    for (void* message : messages) {
        SCOPED_TRACE(testing::Message() << std::hex << host::readU32(message, host::kMessageEvent) << " spot "
                                        << host::readS16(message, host::kSpotSpotId));
        EXPECT_TRUE(passes(nullptr, message));
        // Entries and spot changes need a sender; a logon needs none, but a room.
        EXPECT_TRUE(passes(host.makeContext(nullptr, message == logon ? nullptr : room), message));
    }
    EXPECT_EQ(host.send(host.makeContext(alice, room), nullptr), nullptr);
    EXPECT_EQ(states(1, 2), (std::vector<int16_t>{kPreset, kPreset}));
    EXPECT_EQ(host.plugin().recordCount(), 1u);
    EXPECT_EQ(valuesOf(0x00010001), (std::vector<int16_t>{7, 0}));
}

// ---- While not running ------------------------------------------------------------------

// A plug-in loaded but not started, or shut down: no variables, so no record may be made.
class NotRunningTest : public MessagesTest {
  protected:
    void SetUp() override { PluginTest::SetUp(); }

    // Lays out room 1 with a GetStats- and a SetStats- spot, and user 1001 in it.
    void* layOut() {
        host.addRoom(1, {"GetStats-score", "SetStats-score"});
        return host.addUser(1001, 0, 1);
    }

    // A logon, a room entry and a change to each of room 1's spots from `user` each pass as
    // they came, with no call of a host function, no record and no spot written.
    void expectEveryMessagePassesUntouched(void* user) {
        void* room = host.room(1);
        preset(1, 2);
        uint64_t calls = host.hostCalls();
        void* entry = host.makeMessage(host::kEventRoomEntry);
        host::writeS16(entry, host::kEntryRoomId, 1);
        for (void* message : {logonMessage(1001, 0), entry, spotMessage(1, 1, 9), spotMessage(1, 2, 9)}) {
            SCOPED_TRACE(testing::Message() << std::hex << host::readU32(message, host::kMessageEvent) << " spot "
                                            << host::readS16(message, host::kSpotSpotId));
            EXPECT_EQ(host.send(host.makeContext(user, room), message), message);
        }
        EXPECT_EQ(host.hostCalls(), calls) << "a host function was called";
        EXPECT_EQ(states(1, 2), (std::vector<int16_t>{kPreset, kPreset}));
        EXPECT_EQ(host.plugin().recordCount(), 0u);
    }
};

TEST_F(NotRunningTest, MessagesBeforeTheFirstStartUpAndAfterShutdownChangeNothing) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", header("EIB", static_cast<uint32_t>(host.now())) + "score=42\n"));
    void* user = layOut();
    expectEveryMessagePassesUntouched(user);

    start({"score"});
    EXPECT_EQ(scoreOf(1001), 42) << "the saved value was lost";
    host.shutdown();
    expectEveryMessagePassesUntouched(user);

    start({"score"});
    EXPECT_EQ(scoreOf(1001), 42);
    ASSERT_TRUE(host.changeSpot(user, 1, 2, 43));
    EXPECT_EQ(scoreOf(1001), 43);
}

}  // namespace
