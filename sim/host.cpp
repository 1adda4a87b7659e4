// The host simulator.
#include "sim/host.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>

#include <algorithm>

#include "host/records.h"

namespace hostsim {

namespace {

Host* currentHost = nullptr;
int inPluginDepth = 0;
int64_t reallocFailIn = -1;

constexpr uint8_t kUnconvertible = 0xFF;  // first byte of a stored name CvtToCString refuses
constexpr size_t kNameMax = 254;          // longest name the stored form holds
constexpr size_t kSpotIdField = 0;        // the simulator's own field in a spot: its id

void writeU32(void* record, size_t offset, uint32_t v) { memcpy(static_cast<char*>(record) + offset, &v, 4); }
void writeU16(void* record, size_t offset, uint16_t v) { memcpy(static_cast<char*>(record) + offset, &v, 2); }

// The data block address a room record gives, for a block based at `base` whose spot array and
// first name lie at `arrayRel` and `firstNameRel` from it.
uint32_t recordedBase(DataBase kind, const char* base, long arrayRel, long firstNameRel) {
    switch (kind) {
        case DataBase::Null: return 0;
        case DataBase::SpotArrayAtNull: return static_cast<uint32_t>(-arrayRel);
        case DataBase::NameAtNull: return static_cast<uint32_t>(-firstNameRel);
        case DataBase::Block: break;
    }
    return Arena::address32(base);
}

}  // namespace

}  // namespace hostsim

// What the interposed time() gives: the current Host's library time, or the default clock.
extern "C" long hostsimTime() {
    hostsim::Host* host = hostsim::Host::current();
    return host == nullptr ? static_cast<long>(hostsim::Host::kDefaultClock) : host->libraryTime();
}

// The kernel's clock calls on this architecture: the one with 64-bit seconds and, on a 32-bit
// system, the older one with 32-bit seconds; and the time call, where there is one.
#if defined(SYS_clock_gettime64)
constexpr long kClockCall64 = SYS_clock_gettime64;
constexpr long kClockCall32 = SYS_clock_gettime;
#else
constexpr long kClockCall64 = SYS_clock_gettime;
constexpr long kClockCall32 = -1;
#endif
#if defined(SYS_time)
constexpr long kTimeCall = SYS_time;
#else
constexpr long kTimeCall = -1;
#endif

// A raw kernel result as the C library's syscall() hands it on: -4095 to -1 become -1 with
// errno set to the error.
static long asSyscallResult(long raw) {
    if (raw >= -4095 && raw < 0) {
        errno = static_cast<int>(-raw);
        return -1;
    }
    return raw;
}

// Writes a kernel timespec of `seconds` at `address`, its fields as wide as `Field`.
template <typename Field>
static void writeTimespec(long address, int64_t seconds) {
    Field timespec[2] = {static_cast<Field>(seconds), 0};
    memcpy(reinterpret_cast<void*>(address), timespec, sizeof timespec);
}

// Answers the interposed syscall() for the kernel's real-time clocks and its time call from the
// Host's clock, as the Host's KernelClock says, and fails getrandom where the Host has no random
// sources; false for every other call, which then goes to the kernel.
extern "C" bool hostsimSystemCall(long number, long first, long second, long third, long* result) {
    hostsim::Host* host = hostsim::Host::current();
    if (host == nullptr) return false;
    if (number == SYS_getrandom) {
        host->noteGetrandom(third);
        if (host->randomSources()) return false;
        *result = asSyscallResult(-ENOSYS);
        return true;
    }
    bool clockCall = (number == kClockCall64 || number == kClockCall32) && first == CLOCK_REALTIME;
    if (!clockCall && number != kTimeCall) return false;
    int64_t seconds;
    long raw = host->kernelClockCall(number == kClockCall64 ? hostsim::KernelCall::Clock64
                                     : number == kClockCall32 ? hostsim::KernelCall::Clock32
                                                              : hostsim::KernelCall::Time,
                                     &seconds);
    if (raw == 0 && number == kClockCall64) writeTimespec<int64_t>(second, seconds);
    if (raw == 0 && number == kClockCall32) writeTimespec<int32_t>(second, seconds);
    if (number == kTimeCall && raw == 0) {
        raw = static_cast<long>(static_cast<int32_t>(static_cast<uint32_t>(seconds)));  // a 32-bit long
        if (first != 0) memcpy(reinterpret_cast<void*>(first), &raw, sizeof raw);
    }
    *result = asSyscallResult(raw);
    return true;
}

// Whether the interposed open() must fail for `path`: /dev/urandom while the Host has no random
// sources.
extern "C" bool hostsimOpenShouldFail(const char* path) {
    hostsim::Host* host = hostsim::Host::current();
    return host != nullptr && !host->randomSources() && strcmp(path, "/dev/urandom") == 0;
}

extern "C" bool hostsimReallocShouldFail() {
    using namespace hostsim;
    if (inPluginDepth == 0 || reallocFailIn < 0) return false;
    return reallocFailIn-- == 0;
}

extern "C" bool hostsimReallocFaultsSupported();

namespace hostsim {

InPlugin::InPlugin() { ++inPluginDepth; }
InPlugin::~InPlugin() { --inPluginDepth; }

Host::Host() {
    if (currentHost != nullptr) abort();  // one host at a time
    currentHost = this;
    handle_ = arena_.allocate(16);
    scratch_.context = arena_.allocate(host::kContextSize);
    scratch_.message = arena_.allocate(host::kMessageSize);
}

Host::~Host() {
    if (running_) shutdown();
    plugin_.unload();
    for (void* block : liveBlocks_) free(block);
    currentHost = nullptr;
    reallocFailIn = -1;
}

Host* Host::current() { return currentHost; }

// ---- The plug-in --------------------------------------------------------------------------

bool Host::load(const std::string& path, std::string* error) { return plugin_.load(path, error); }

void* Host::start(const std::vector<std::string>& arguments) {
    arguments_ = arguments;
    std::vector<char*> list;
    for (std::string& argument : arguments_) list.push_back(&argument[0]);
    list.push_back(nullptr);
    return startRaw(static_cast<int32_t>(arguments_.size()), list.data());
}

void* Host::startRaw(int32_t count, char** arguments) {
    InPlugin guard;
    running_ = true;
    return plugin_.initialize(handle_, count, arguments);
}

int32_t Host::timerEvent() {
    InPlugin guard;
    return plugin_.timer(nullptr, handle_, nullptr);
}

void Host::shutdown() {
    running_ = false;
    {
        InPlugin guard;
        plugin_.shutdown(nullptr);
    }
    for (; firstUnfired_ < timers_.size(); ++firstUnfired_) timers_[firstUnfired_].fired = true;
}

bool Host::restart(std::string* error) {
    shutdown();
    std::string path = plugin_.path();
    if (!plugin_.load(path, error)) return false;
    start(std::vector<std::string>(arguments_));
    return true;
}

// ---- The clock and the timer --------------------------------------------------------------

int32_t Host::scheduleTimer(void* handle, int32_t zero, int32_t delay) {
    uint64_t due = now_ + static_cast<uint64_t>(delay < 0 ? 0 : delay);
    timers_.push_back({handle, zero, delay, due, false});
    return static_cast<int32_t>(timers_.size());
}

void Host::fire(TimerRequest& request) {
    request.fired = true;
    InPlugin guard;
    plugin_.timer(nullptr, request.handle, nullptr);
}

int Host::fireDueTimers() {
    int fired = 0;
    for (size_t i = firstUnfired_; i < timers_.size(); ++i) {  // a firing may add requests
        if (timers_[i].fired || timers_[i].due > now_) continue;
        fire(timers_[i]);
        ++fired;
    }
    while (firstUnfired_ < timers_.size() && timers_[firstUnfired_].fired) ++firstUnfired_;
    return fired;
}

void Host::advance(uint64_t seconds) {
    uint64_t end = now_ + seconds;
    for (;;) {
        fireDueTimers();
        uint64_t next = UINT64_MAX;
        for (size_t i = firstUnfired_; i < timers_.size(); ++i)
            if (!timers_[i].fired) next = std::min(next, timers_[i].due);
        if (next > end) break;
        now_ = next;
    }
    now_ = end;
}

long Host::libraryTime() {
    ++clockCalls_.time;
    if (clockLibrary_ == ClockLibrary::Overflow && now_ > INT32_MAX) {
        ++clockCalls_.overflows;
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(now_));
}

long Host::kernelClockCall(KernelCall call, int64_t* seconds) {
    if (call == KernelCall::Clock64) ++clockCalls_.kernel;
    else ++clockCalls_.kernel32;
    *seconds = static_cast<int64_t>(now_);
    if (call == KernelCall::Clock64 && kernelClock_ != KernelClock::Linux5_1) return -ENOSYS;
    if (kernelClock_ == KernelClock::None) return -ENOSYS;
    if (call != KernelCall::Clock64) *seconds = static_cast<int32_t>(static_cast<uint32_t>(now_));
    return 0;
}

// ---- Rooms and users ----------------------------------------------------------------------

void* Host::hostMemory(size_t size) { return arena_.allocate(size); }

void* Host::addRoom(int16_t id, const std::vector<std::string>& spotNames) {
    std::vector<Spot> spots;
    for (const std::string& name : spotNames) spots.push_back({name, 0, true});
    return addRoom(id, spots);
}

void* Host::addRoom(int16_t id, const std::vector<Spot>& spots, RoomLayout layout) {
    if (rooms_.count(id) != 0) return nullptr;
    long namesBytes = 0;
    for (const Spot& spot : spots) {
        if (spot.name.size() > kNameMax) return nullptr;
        namesBytes += 1 + static_cast<long>(spot.name.size());
    }
    long arrayBytes = static_cast<long>(spots.size() * host::kSpotSize);
    long arrayRel = layout.spotArrayOffset;
    long namesRel = layout.namesBeforeBase ? std::min(arrayRel, 0L) - namesBytes : std::max(arrayRel + arrayBytes, 0L);
    long low = std::min({arrayRel, namesRel, 0L});
    long high = std::max({arrayRel + arrayBytes, namesRel + namesBytes, 1L});
    if (namesRel < INT16_MIN || namesRel + namesBytes > INT16_MAX || spots.size() > UINT16_MAX) return nullptr;
    if (layout.base == DataBase::NameAtNull && spots.empty()) return nullptr;

    char* block = static_cast<char*>(arena_.allocate(static_cast<size_t>(high - low)));
    void* record = arena_.allocate(host::kRoomSize);
    if (block == nullptr || record == nullptr) return nullptr;
    char* base = block - low;
    RoomInfo info{record, base, {}, layout.base != DataBase::SpotArrayAtNull};
    long nameRel = namesRel;
    for (size_t i = 0; i < spots.size(); ++i) {
        char* spot = base + arrayRel + static_cast<long>(i * host::kSpotSize);
        int16_t spotId = spots[i].id != 0 ? spots[i].id : static_cast<int16_t>(i + 1);
        info.spotIds.push_back(spotId);
        host::writeS16(spot, kSpotIdField, spotId);
        host::writeS16(spot, host::kSpotName, static_cast<int16_t>(nameRel));
        char* stored = base + nameRel;
        stored[0] = static_cast<char>(spots[i].convertible ? spots[i].name.size() : kUnconvertible);
        memcpy(stored + 1, spots[i].name.data(), spots[i].name.size());
        nameRel += 1 + static_cast<long>(spots[i].name.size());
    }
    writeU32(record, host::kRoomDataBase, recordedBase(layout.base, base, arrayRel, namesRel));
    writeU16(record, host::kRoomSpotCount, static_cast<uint16_t>(spots.size()));
    host::writeS16(record, host::kRoomSpotArray, static_cast<int16_t>(arrayRel));
    rooms_[id] = info;
    return record;
}

const Host::RoomInfo* Host::findRoom(int16_t id) const {
    auto it = rooms_.find(id);
    return it == rooms_.end() ? nullptr : &it->second;
}

void* Host::room(int16_t id) const {
    const RoomInfo* info = findRoom(id);
    return info == nullptr ? nullptr : info->record;
}

char* Host::spotAt(const RoomInfo& info, size_t position) const {
    return info.base + host::readS16(info.record, host::kRoomSpotArray) + static_cast<long>(position * host::kSpotSize);
}

void* Host::spot(void* room, int16_t spotId) const {
    for (const auto& entry : rooms_) {
        if (entry.second.record != room) continue;
        if (!entry.second.spotsFound) return nullptr;
        const std::vector<int16_t>& ids = entry.second.spotIds;
        for (size_t i = 0; i < ids.size(); ++i)
            if (ids[i] == spotId) return spotAt(entry.second, i);
    }
    return nullptr;
}

int16_t Host::spotState(int16_t roomId, int16_t spotId) const {
    const void* s = spot(room(roomId), spotId);
    return s == nullptr ? 0 : host::readS16(s, host::kSpotState);
}

void Host::setSpotState(int16_t roomId, int16_t spotId, int16_t state) {
    if (void* s = spot(room(roomId), spotId)) host::writeS16(s, host::kSpotState, state);
}

const char* Host::convertName(const void* stored) {
    if (stored == nullptr) {  // the host would read the name from there and crash
        fprintf(stderr, "hostsim: CvtToCString was given a null name\n");
        abort();
    }
    auto* bytes = static_cast<const uint8_t*>(stored);
    if (bytes[0] == kUnconvertible) return nullptr;
    memcpy(nameBuffer_, bytes + 1, bytes[0]);
    nameBuffer_[bytes[0]] = '\0';
    return nameBuffer_;
}

void* Host::addUser(uint32_t wordA, uint32_t wordB, int16_t roomId) {
    void* user = arena_.allocate(host::kUserSize);
    if (user == nullptr) return nullptr;
    writeU32(user, host::kUserWordA, wordA);
    writeU32(user, host::kUserWordB, wordB);
    host::writeS16(user, host::kUserRoomId, roomId);
    return user;
}

int16_t Host::userRoom(const void* user) const { return host::readS16(user, host::kUserRoomId); }

// ---- Messages -----------------------------------------------------------------------------

void* Host::makeContext(void* user, void* room) {
    void* context = arena_.allocate(host::kContextSize);
    writeU32(context, host::kContextUser, Arena::address32(user));
    writeU32(context, host::kContextRoom, Arena::address32(room));
    return context;
}

void* Host::makeMessage(uint32_t event) {
    void* message = arena_.allocate(host::kMessageSize);
    writeU32(message, host::kMessageEvent, event);
    return message;
}

Host::Scratch& Host::freshScratch() {
    memset(scratch_.context, 0, host::kContextSize);
    memset(scratch_.message, 0, host::kMessageSize);
    return scratch_;
}

void* Host::send(void* context, void* message) {
    InPlugin guard;
    return plugin_.message(context, nullptr, message);
}

bool Host::logon(void* user, int16_t roomId) {
    Scratch& s = freshScratch();
    writeU32(s.context, host::kContextUser, Arena::address32(user));
    writeU32(s.context, host::kContextRoom, Arena::address32(room(roomId)));
    writeU32(s.message, host::kMessageEvent, host::kEventLogon);
    writeU32(s.message, host::kLogonWordA, host::readU32(user, host::kUserWordA));
    writeU32(s.message, host::kLogonWordB, host::readU32(user, host::kUserWordB));
    if (send(s.context, s.message) == nullptr) return false;
    host::writeS16(user, host::kUserRoomId, roomId);
    return true;
}

bool Host::enterRoom(void* user, int16_t roomId) {
    Scratch& s = freshScratch();
    writeU32(s.context, host::kContextUser, Arena::address32(user));
    writeU32(s.context, host::kContextRoom, Arena::address32(room(userRoom(user))));
    writeU32(s.message, host::kMessageEvent, host::kEventRoomEntry);
    host::writeS16(s.message, host::kEntryRoomId, roomId);
    if (send(s.context, s.message) == nullptr) return false;
    host::writeS16(user, host::kUserRoomId, roomId);
    return true;
}

bool Host::changeSpot(void* user, int16_t roomId, int16_t spotId, int16_t state) {
    Scratch& s = freshScratch();
    writeU32(s.context, host::kContextUser, Arena::address32(user));
    writeU32(s.context, host::kContextRoom, Arena::address32(room(userRoom(user))));
    writeU32(s.message, host::kMessageEvent, host::kEventSpotState);
    host::writeS16(s.message, host::kSpotRoomId, roomId);
    host::writeS16(s.message, host::kSpotSpotId, spotId);
    host::writeS16(s.message, host::kSpotNewState, state);
    if (send(s.context, s.message) == nullptr) return false;
    setSpotState(roomId, spotId, state);
    return true;
}

// ---- Host memory --------------------------------------------------------------------------

void* Host::newPtrClear(int32_t size) {
    ++memory_.newPtrCalls;
    if (newPtrFailIn_ >= 0 && newPtrFailIn_-- == 0) return nullptr;
    if (size < 0) return nullptr;
    void* block = calloc(1, size == 0 ? 1 : static_cast<size_t>(size));
    if (block == nullptr) return nullptr;
    liveBlocks_.insert(block);
    memory_.liveBlocks = liveBlocks_.size();
    return block;
}

void Host::disposePtr(void* block) {
    ++memory_.disposeCalls;
    if (recording_) disposals_.push_back(block);
    if (block == nullptr) {
        ++memory_.disposeNulls;
        return;
    }
    liveBlocks_.erase(block);
    memory_.liveBlocks = liveBlocks_.size();
    free(block);
}

void Host::failReallocAfter(uint64_t successes) { reallocFailIn = static_cast<int64_t>(successes); }

bool Host::reallocFaultsSupported() { return hostsimReallocFaultsSupported(); }

bool Host::faultPending() const { return newPtrFailIn_ >= 0 || reallocFailIn >= 0; }

void Host::clearFaults() {
    newPtrFailIn_ = -1;
    reallocFailIn = -1;
}

}  // namespace hostsim
