// The message handler on arbitrary sequences: the input lays out variables, rooms with spots of
// any name, id and layout, and users with any identity words, then drives room entries,
// logons, spot changes and raw messages with any ids, states and words, interleaved with clock
// moves, timer events and restarts. Nothing may crash or trip a sanitizer, the tables must stay
// well formed after every event, and shutdown must give every block back.
#include <fuzzer/FuzzedDataProvider.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/records.h"
#include "sim/host.h"
#include "tests/table_view.h"

namespace {

const char* const kVariables[] = {"score", "lives", "gold", ""};

std::vector<std::string> makeArguments(FuzzedDataProvider& in) {
    std::vector<std::string> arguments{"morvelt"};
    for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n)
        arguments.push_back(in.ConsumeBool() ? std::string(kVariables[in.ConsumeIntegralInRange(0, 3)])
                                             : in.ConsumeRandomLengthString(20));
    return arguments;
}

// A spot name: often a stats prefix and a known variable, otherwise anything.
std::string spotName(FuzzedDataProvider& in) {
    static const char* const kPrefixes[] = {"GetStats-", "SetStats-", "getstats-", ""};
    std::string name = kPrefixes[in.ConsumeIntegralInRange(0, 3)];
    return name + (in.ConsumeBool() ? std::string(kVariables[in.ConsumeIntegralInRange(0, 3)])
                                    : in.ConsumeRandomLengthString(24));
}

std::vector<int16_t> makeRooms(FuzzedDataProvider& in, hostsim::Host& host) {
    std::vector<int16_t> ids;
    for (int n = in.ConsumeIntegralInRange(1, 4); n > 0; --n) {
        auto id = in.ConsumeIntegral<int16_t>();
        std::vector<hostsim::Spot> spots;
        for (int s = in.ConsumeIntegralInRange(0, 8); s > 0; --s)
            spots.push_back({spotName(in), in.ConsumeBool() ? in.ConsumeIntegral<int16_t>() : int16_t{0},
                             in.ConsumeIntegralInRange(0, 15) != 0});
        hostsim::RoomLayout layout;
        layout.spotArrayOffset = in.ConsumeIntegralInRange<int16_t>(-600, 600);
        layout.namesBeforeBase = in.ConsumeBool();
        // The data block's address: the block's own, wherever the offsets put it in the block,
        // or one that puts the block or the spot array at null (a host gives no spots without
        // data). A null name, which the simulator can only lay out with a wild array, is left
        // to the message tests.
        static const hostsim::DataBase kBases[] = {hostsim::DataBase::Block, hostsim::DataBase::Null,
                                                   hostsim::DataBase::SpotArrayAtNull};
        layout.base = kBases[in.ConsumeIntegralInRange(0, 2)];
        if (layout.base == hostsim::DataBase::Null && !spots.empty()) layout.base = hostsim::DataBase::Block;
        if (host.addRoom(id, spots, layout) != nullptr) ids.push_back(id);
    }
    return ids;
}

int16_t pickRoom(FuzzedDataProvider& in, const std::vector<int16_t>& rooms) {
    return in.ConsumeIntegralInRange(0, 7) != 0 && !rooms.empty()
               ? rooms[in.ConsumeIntegralInRange<size_t>(0, rooms.size() - 1)]
               : in.ConsumeIntegral<int16_t>();
}

// Sends a message laid out by the input, from a user or from nobody.
void sendRaw(FuzzedDataProvider& in, hostsim::Host& host, void* user, const std::vector<int16_t>& rooms) {
    static const uint32_t kEvents[] = {host::kEventRoomEntry, host::kEventSpotState, host::kEventLogon};
    uint32_t event = in.ConsumeBool() ? kEvents[in.ConsumeIntegralInRange(0, 2)] : in.ConsumeIntegral<uint32_t>();
    void* context = host.makeContext(in.ConsumeBool() ? user : nullptr, host.room(pickRoom(in, rooms)));
    void* message = host.makeMessage(event);
    if (context == nullptr || message == nullptr) return;
    std::vector<uint8_t> body = in.ConsumeBytes<uint8_t>(host::kMessageSize - host::kMessageBody);
    if (!body.empty()) memcpy(static_cast<char*>(message) + host::kMessageBody, body.data(), body.size());
    host.send(context, message);
}

void check(hostsim::Host& host) {
    std::string defect = tableview::defects(host);
    if (!defect.empty()) fuzzsupport::finding(defect);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::freshInput();
    FuzzedDataProvider in(data, size);
    hostsim::Host host;
    std::string error;
    if (!host.load(MORVELT_PLUGIN_PATH, &error)) fuzzsupport::finding(error);
    std::vector<std::string> arguments = makeArguments(in);
    std::vector<int16_t> rooms = makeRooms(in, host);
    std::vector<void*> users;
    for (int n = in.ConsumeIntegralInRange(1, 4); n > 0; --n)
        users.push_back(host.addUser(in.ConsumeIntegral<uint32_t>(), in.ConsumeIntegral<uint32_t>(), pickRoom(in, rooms)));
    host.start(arguments);
    check(host);

    while (in.remaining_bytes() != 0) {
        void* user = users[in.ConsumeIntegralInRange<size_t>(0, users.size() - 1)];
        switch (in.ConsumeIntegralInRange(0, 8)) {
            case 0: host.logon(user, pickRoom(in, rooms)); break;
            case 1: host.enterRoom(user, pickRoom(in, rooms)); break;
            case 2:
            case 3: {
                int16_t room = in.ConsumeBool() ? host.userRoom(user) : pickRoom(in, rooms);
                int16_t spot = in.ConsumeIntegralInRange<int16_t>(-1, 9);
                if (in.ConsumeBool()) spot = in.ConsumeIntegral<int16_t>();
                host.changeSpot(user, room, spot, in.ConsumeIntegral<int16_t>());
                break;
            }
            case 4: sendRaw(in, host, user, rooms); break;
            case 5: host.advance(in.ConsumeIntegralInRange<uint64_t>(0, 1000)); break;  // a few timer events
            case 6: host.fireDueTimers(); break;
            case 7:  // days on or back at once, firing nothing until the next timer event
                host.setNow(host.now() + in.ConsumeIntegralInRange<int64_t>(-1000000, 1000000));
                break;
            case 8:
                if (!host.restart(&error)) fuzzsupport::finding(error);
                break;
        }
        check(host);
    }
    host.shutdown();
    if (host.memory().liveBlocks != 0) fuzzsupport::finding("host blocks alive after shutdown");
    return 0;
}
