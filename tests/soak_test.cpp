// A long random run against a model: users log on, move between rooms and change spots, the
// clock moves (timer events fire as it does, now and then days at a time, rarely backwards),
// and the plug-in restarts now and then. A small model of what the statistics must be, written
// here from the behaviour alone, follows every event; after each one the plug-in's record
// table, its verdict on the message and the room's spot states must match the model. The
// plug-in is the build made for tests: every lookup through its key index is checked against a
// scan of the table, and after every event the index against the table.
//
// MORVELT_SOAK_SEED replays a run (the seed is printed at the start and on a failure);
// MORVELT_SOAK_EVENTS sets its length.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/host.h"
#include "sim/work_dir.h"
#include "tests/table_view.h"

namespace {

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* text = getenv(name);
    return text != nullptr && *text != '\0' ? strtoull(text, nullptr, 10) : fallback;
}

// The statistics as they must be.
class Model {
  public:
    static constexpr uint32_t kFloor = 1000;
    static constexpr uint32_t kAgeLimit = 432000;
    static constexpr uint64_t kTimerDelay = 300;

    struct Record {
        uint32_t key;
        uint32_t stamp;
        std::vector<int16_t> values;
    };

    explicit Model(std::vector<std::string> variables, uint64_t now) : variables_(std::move(variables)), now_(now) {}

    // The variable's 0-based slot, or -1.
    int slot(const std::string& name) const {
        auto it = std::find(variables_.begin(), variables_.end(), name);
        return it == variables_.end() ? -1 : static_cast<int>(it - variables_.begin());
    }

    const Record* find(uint32_t key) const {
        for (const Record& r : records_)
            if (r.key == key) return &r;
        return nullptr;
    }

    // A user's change to a "SetStats-" spot for `variable`.
    void store(uint32_t key, const std::string& variable, int16_t value) {
        if (key <= kFloor) return;
        Record* record = const_cast<Record*>(find(key));
        if (record == nullptr) {
            records_.push_back({key, 0, std::vector<int16_t>(variables_.size(), 0)});
            record = &records_.back();
        }
        record->stamp = static_cast<uint32_t>(now_);
        if (slot(variable) >= 0) record->values[slot(variable)] = value;
    }

    // The value a "GetStats-" spot for `variable` shows to the user with `key`.
    int16_t shown(uint32_t key, const std::string& variable) const {
        const Record* record = find(key);
        return record == nullptr || slot(variable) < 0 ? 0 : record->values[slot(variable)];
    }

    // The clock moves on by `seconds`; every timer event due meanwhile drops old records.
    void advance(uint64_t seconds) {
        uint64_t end = now_ + seconds;
        for (;;) {
            while (nextTimer_ <= now_) {
                expire();
                nextTimer_ = now_ + kTimerDelay;
            }
            if (nextTimer_ > end) break;
            now_ = nextTimer_;
        }
        now_ = end;
    }
    uint64_t untilTimer() const { return nextTimer_ > now_ ? nextTimer_ - now_ : 0; }
    void setNow(uint64_t now) { now_ = now; }
    uint64_t now() const { return now_; }

    // Shutdown drops old records and saves; start-up reads them back and asks for a timer now.
    void restart() {
        expire();
        nextTimer_ = now_;
    }

    const std::vector<Record>& records() const { return records_; }

  private:
    // Drops records more than five days old, unless stamped at most five days ahead (the clock
    // was set back); ages and distances ahead wrap modulo 2^32.
    void expire() {
        uint32_t present = static_cast<uint32_t>(now_);
        auto stale = [present](const Record& r) {
            uint32_t age = present - r.stamp;
            uint32_t ahead = r.stamp - present;
            return age > kAgeLimit && ahead > kAgeLimit;
        };
        records_.erase(std::remove_if(records_.begin(), records_.end(), stale), records_.end());
    }

    std::vector<std::string> variables_;
    std::vector<Record> records_;
    uint64_t now_;
    uint64_t nextTimer_ = 0;  // the start-up's timer is due at once
};

struct ModelSpot {
    hostsim::Spot spot;
    int16_t state = 0;
};

struct ModelRoom {
    int16_t id;
    std::vector<ModelSpot> spots;
};

struct User {
    uint32_t wordA;
    uint32_t wordB;
    void* record;
    int16_t room = 0;
    uint32_t key() const { return wordA ^ wordB; }
};

// One run: the host, the model and the random events.
class Soak {
  public:
    Soak(hostsim::Host& host, uint64_t seed) : host_(host), random_(seed), model_({"score", "lives", "gold"}, host.now()) {
        using hostsim::Spot;
        rooms_ = {
            {1, {{{"GetStats-score"}}, {{"SetStats-score"}}, {{"GetStats-gold"}}, {{"SetStats-gold"}},
                 {{"SetStats-nope"}}, {{"GetStats-nope"}}, {{"getstats-score"}}, {{"plain"}}}},
            {2, {{{"SetStats-lives"}}, {{"GetStats-lives"}}, {{"GetStats-score"}}, {{"SetStats-score", 40}},
                 {{"GetStats-gold", 0, false}}, {{"SetStats-"}}}},
            {3, {}},
        };
        for (ModelRoom& room : rooms_) {
            std::vector<Spot> spots;
            for (ModelSpot& s : room.spots) spots.push_back(s.spot);
            host_.addRoom(room.id, spots);
        }
        // Users: random ones, two sharing a key, and keys at and below the floor.
        std::vector<std::pair<uint32_t, uint32_t>> words{{0x1234, 0x1234}, {5, 0}, {1000, 0}, {1001, 0},
                                                         {0xF0F0, 0x0F0F}, {0xFF00, 0x00FF}};
        while (words.size() < 24) words.push_back({static_cast<uint32_t>(random_()), static_cast<uint32_t>(random_())});
        for (auto [a, b] : words) users_.push_back({a, b, host_.addUser(a, b), 0});
        host_.start({"morvelt", "gold", "lives", "score"});
    }

    // Runs one random event and returns what differs from the model, or "".
    std::string step() {
        uint32_t pick = random_() % 10000;
        if (pick < 2500) return enter(randomUser(), randomRoom());
        if (pick < 3500) return logon(randomUser(), randomRoom());
        if (pick < 8000) return change();
        if (pick < 9700) return advance(1 + random_() % 60);
        if (pick < 9900) return advance(timer());
        if (pick < 9960) return advance(300 + random_() % 3600);
        if (pick < 9990) return clockBack();
        if (pick < 9998) return advance(86400 + random_() % (5 * 86400));
        return restart();
    }

    std::string describeLast() const { return last_; }

  private:
    User& randomUser() { return users_[random_() % users_.size()]; }
    int16_t randomRoom() { return static_cast<int16_t>(random_() % 4 + 1); }  // room 4 does not exist
    uint64_t timer() { return model_.untilTimer(); }

    ModelRoom* modelRoom(int16_t id) {
        for (ModelRoom& r : rooms_)
            if (r.id == id) return &r;
        return nullptr;
    }

    // A fill of `roomId` for `key`: the model's spot states, then the check of the host's.
    void fill(int16_t roomId, uint32_t key) {
        ModelRoom* room = modelRoom(roomId);
        if (room == nullptr) return;
        for (ModelSpot& s : room->spots) {
            if (!s.spot.convertible) continue;
            const std::string& name = s.spot.name;
            if (name.compare(0, 9, "GetStats-") == 0) s.state = model_.shown(key, name.substr(9));
            else if (name.compare(0, 9, "SetStats-") == 0) s.state = 0;
        }
    }

    std::string enter(User& user, int16_t roomId) {
        last_ = "enter room " + std::to_string(roomId) + " key " + std::to_string(user.key());
        bool passed = host_.enterRoom(user.record, roomId);
        user.room = roomId;
        fill(roomId, user.key());
        return passed ? compare(roomId) : "the room entry was dropped";
    }

    std::string logon(User& user, int16_t roomId) {
        last_ = "logon in room " + std::to_string(roomId) + " key " + std::to_string(user.key());
        bool passed = host_.logon(user.record, roomId);
        user.room = roomId;
        fill(roomId, user.key());
        return passed ? compare(roomId) : "the logon was dropped";
    }

    std::string change() {
        User& user = randomUser();
        int16_t roomId = random_() % 8 != 0 ? user.room : randomRoom();
        ModelRoom* room = modelRoom(roomId);
        int16_t spotId = random_() % 12 == 0 ? 40 : static_cast<int16_t>(random_() % 10);
        auto state = static_cast<int16_t>(random_() % 7 == 0 ? random_() : random_() % 100);
        last_ = "change room " + std::to_string(roomId) + " spot " + std::to_string(spotId) + " to " +
                std::to_string(state) + " key " + std::to_string(user.key()) + " in room " + std::to_string(user.room);
        bool passed = host_.changeSpot(user.record, roomId, spotId, state);

        bool expected = true;
        ModelSpot* spot = nullptr;
        if (roomId != user.room) {
            expected = false;
        } else if (room != nullptr) {
            for (size_t i = 0; i < room->spots.size(); ++i) {
                int16_t id = room->spots[i].spot.id != 0 ? room->spots[i].spot.id : static_cast<int16_t>(i + 1);
                if (id == spotId) spot = &room->spots[i];
            }
        }
        if (spot != nullptr && spot->spot.convertible) {
            const std::string& name = spot->spot.name;
            if (name.compare(0, 9, "GetStats-") == 0) expected = false;
            else if (name.compare(0, 9, "SetStats-") == 0) model_.store(user.key(), name.substr(9), state);
        }
        if (expected && spot != nullptr) spot->state = state;
        if (passed != expected) return passed ? "the change passed" : "the change was dropped";
        return compare(roomId);
    }

    std::string advance(uint64_t seconds) {
        last_ = "advance " + std::to_string(seconds) + " s";
        host_.advance(seconds);
        model_.advance(seconds);
        return compare(0);
    }

    std::string clockBack() {
        // Mostly a small step; now and then four to six days, across the limit of stamps ahead.
        uint64_t back = random_() % 4 == 0 ? 4 * 86400 + random_() % (2 * 86400) : 1 + random_() % 1000;
        last_ = "clock back " + std::to_string(back) + " s";
        host_.setNow(host_.now() - back);
        model_.setNow(model_.now() - back);
        return compare(0);
    }

    std::string restart() {
        last_ = "restart";
        std::string error;
        if (!host_.restart(&error)) return error;
        model_.restart();
        return compare(0);
    }

    // What differs between the plug-in and the model: the record table, and the spot states of
    // room `roomId` (none for 0).
    std::string compare(int16_t roomId) {
        std::ostringstream out;
        bool indexComplete = true;
        out << tableview::indexDefect(host_, &indexComplete);
        if (!indexComplete) out << "key index incomplete, with memory to spare; ";
        hostsim::Plugin& p = host_.plugin();
        const std::vector<Model::Record>& expected = model_.records();
        if (p.recordCount() != expected.size())
            out << "records: " << p.recordCount() << ", model " << expected.size() << "; ";
        for (size_t i = 0; i < std::min<size_t>(p.recordCount(), expected.size()); ++i) {
            const StatRecord& r = p.records()[i];
            const Model::Record& m = expected[i];
            if (r.key != m.key || r.stamp != m.stamp) {
                out << "record " << i << ": key " << r.key << " stamp " << r.stamp << ", model key " << m.key
                    << " stamp " << m.stamp << "; ";
                continue;
            }
            for (size_t v = 0; v < m.values.size(); ++v)
                if (r.values[v] != m.values[v])
                    out << "record " << i << " slot " << v << ": " << r.values[v] << ", model " << m.values[v] << "; ";
        }
        if (ModelRoom* room = modelRoom(roomId)) {
            for (size_t i = 0; i < room->spots.size(); ++i) {
                int16_t id = room->spots[i].spot.id != 0 ? room->spots[i].spot.id : static_cast<int16_t>(i + 1);
                int16_t state = host_.spotState(roomId, id);
                if (state != room->spots[i].state)
                    out << "room " << roomId << " spot " << id << ": " << state << ", model " << room->spots[i].state
                        << "; ";
            }
        }
        return out.str();
    }

    hostsim::Host& host_;
    std::mt19937_64 random_;
    Model model_;
    std::vector<ModelRoom> rooms_;
    std::vector<User> users_;
    std::string last_;
};

TEST(SoakTest, PluginFollowsTheModelThroughEveryEvent) {
    // The run saves tens of thousands of times: keep its folder in memory where there is one.
    if (access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
    hostsim::WorkDir dir;
    hostsim::Host host;
    std::string error;
    ASSERT_TRUE(host.load(MORVELT_PLUGIN_PATH, &error)) << error;
    uint64_t seed = fromEnvironment("MORVELT_SOAK_SEED", std::random_device{}());
    uint64_t events = fromEnvironment("MORVELT_SOAK_EVENTS", MORVELT_SOAK_DEFAULT_EVENTS);
    printf("soak seed: %llu, %llu events (MORVELT_SOAK_SEED and MORVELT_SOAK_EVENTS replay it)\n",
           static_cast<unsigned long long>(seed), static_cast<unsigned long long>(events));
    Soak soak(host, seed);
    for (uint64_t i = 0; i < events; ++i) {
        std::string difference = soak.step();
        ASSERT_EQ(difference, "") << "event " << i << " (" << soak.describeLast() << ") with seed " << seed;
    }
    host.shutdown();
    EXPECT_EQ(host.memory().liveBlocks, 0u);
}

}  // namespace
