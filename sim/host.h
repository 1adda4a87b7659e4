// The host simulator: plays the chat server for the plug-in. It loads the plug-in as the host
// does, lays out users, rooms with their spots, contexts and messages at the host's offsets in
// memory below 4 GiB, exports the host's functions (sim/host_functions.cpp), runs a simulated
// clock that the plug-in reads through the C library's time or the kernel's clock calls (as an
// old or a new C library, on an old or a new kernel, gives them after 2038), fires the timer events the plug-in
// asks for, keeps the host's log, and counts the plug-in's host allocations.
//
// One Host exists at a time; the exported host functions act on it.
//
//   hostsim::Host host;
//   host.load("build/i386/libmorvelt.so", &error);
//   host.start({"morvelt", "gold", "score"});
//   host.addRoom(7, {"SetStats-score", "GetStats-score"});
//   void* user = host.addUser(0x1234, 0x5678);
//   host.logon(user, 7);
//   host.changeSpot(user, 7, 1, 42);  // stores score = 42
//   host.advance(0);                   // fires the first timer event: the data file is written
#pragma once

#include <stdint.h>

#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "sim/arena.h"
#include "sim/plugin.h"

namespace hostsim {

// A spot as the room designer names it. `convertible` false stores the name in a form that
// CvtToCString refuses (it yields null).
struct Spot {
    std::string name;
    int16_t id = 0;  // 0: the spot's 1-based position in the room
    bool convertible = true;
};

// What a room record gives as its data block's address.
enum class DataBase {
    Block,            // the block's own
    Null,             // null
    SpotArrayAtNull,  // minus the spot array's offset, so the array's address is null; the
                      // host then finds no spots in the room
    NameAtNull,       // minus the first spot name's offset, so that name's address is null; the
                      // host finds its spots where it laid them out, but the array's address
                      // is wild: only spot changes suit such a room
};

// How a room's data block is laid out.
struct RoomLayout {
    int16_t spotArrayOffset = 16;      // may be negative: the data block's base then lies inside it
    DataBase base = DataBase::Block;
    bool namesBeforeBase = false;      // spot names lie before the base (negative name offsets)
};

// How the C library's 32-bit time() behaves once the clock passes 2^31 - 1 seconds
// (2038-01-19 03:14:07 UTC), for a plug-in built without a 64-bit time_t.
enum class ClockLibrary {
    Cut,       // glibc before 2.34: the seconds cut to 32 bits
    Overflow,  // glibc 2.34 and later: -1 with errno EOVERFLOW
};

// Which of the kernel's clock calls answer.
enum class KernelClock {
    Linux5_1,  // Linux 5.1 and later: every call, clock_gettime64 included
    Before5_1, // older: no clock_gettime64 (ENOSYS); the 32-bit clock_gettime and time answer
               // with the seconds cut to 32 bits
    None,      // no call answers (ENOSYS)
};

// The kernel's clock calls the simulator answers (syscall numbers differ by architecture).
enum class KernelCall {
    Clock64,  // clock_gettime64, or the 64-bit clock_gettime of a 64-bit system
    Clock32,  // the 32-bit clock_gettime of a 32-bit system
    Time,     // time
};

// The plug-in's clock reads, counted since the Host was made.
struct ClockCalls {
    uint64_t time = 0;       // calls of the C library's time()
    uint64_t overflows = 0;  // of which failed with EOVERFLOW
    uint64_t kernel = 0;     // syscall() calls of the kernel's 64-bit real-time clock
    uint64_t kernel32 = 0;   // syscall() calls of the kernel's 32-bit clock calls
};

struct TimerRequest {
    void* handle;
    int32_t zero;
    int32_t delay;
    uint64_t due;  // clock time at which it fires
    bool fired;
};

// What the plug-in did with the host's allocator.
struct MemoryCounts {
    uint64_t newPtrCalls = 0;    // NewPtrClear calls, failed ones included
    uint64_t disposeCalls = 0;   // DisposePtr calls, null ones included
    uint64_t disposeNulls = 0;   // DisposePtr calls given null
    size_t liveBlocks = 0;       // NewPtrClear blocks not yet given back
};

class Host {
  public:
    static constexpr uint64_t kDefaultClock = 1767225600;  // 2026-01-01 00:00:00 UTC

    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The Host the exported host functions act on, or null.
    static Host* current();

    // ---- The plug-in ---------------------------------------------------------------------
    bool load(const std::string& path, std::string* error);
    Plugin& plugin() { return plugin_; }
    // Calls initializeServerPlugin with `arguments` (argument 0 is the plug-in's own name, as the
    // host passes it) and returns its result.
    void* start(const std::vector<std::string>& arguments);
    // Calls initializeServerPlugin with a raw argument list, which may be null.
    void* startRaw(int32_t count, char** arguments);
    // Calls handleTimerEvent as the host does for a due timer, and returns its result.
    int32_t timerEvent();
    // Calls shutdownServerPlugin; outstanding timers are forgotten. A Host that goes while the
    // plug-in runs shuts it down first, as the host does when it stops.
    void shutdown();
    // Shuts the plug-in down, unloads and reloads it, and starts it with the same arguments.
    bool restart(std::string* error);
    void* handle() const { return handle_; }
    bool running() const { return running_; }

    // ---- The clock and the timer ---------------------------------------------------------
    uint64_t now() const { return now_; }
    void setNow(uint64_t seconds) { now_ = seconds; }
    // Which C library the process seems to run on; ClockLibrary::Overflow at first.
    ClockLibrary clockLibrary() const { return clockLibrary_; }
    void setClockLibrary(ClockLibrary library) { clockLibrary_ = library; }
    // What the C library's time() gives for the clock: its seconds, or -1 with errno set.
    long libraryTime();
    // Which kernel the process seems to run on; KernelClock::Linux5_1 at first.
    KernelClock kernelClock() const { return kernelClock_; }
    void setKernelClock(KernelClock kernel) { kernelClock_ = kernel; }
    // What the kernel's clock call `call` gives: 0 with *seconds set to the clock (all 64 bits
    // for the 64-bit call, else cut to 32 bits and sign-extended), or -ENOSYS where the kernel
    // does not answer it.
    long kernelClockCall(KernelCall call, int64_t* seconds);
    const ClockCalls& clockCalls() const { return clockCalls_; }

    // ---- Random bytes --------------------------------------------------------------------
    // Whether the kernel's getrandom and /dev/urandom answer (true at first). Without them,
    // getrandom fails with ENOSYS and opening /dev/urandom with ENOENT, as in a chroot without
    // /dev on a kernel before 3.17.
    void setRandomSources(bool available) { randomSources_ = available; }
    bool randomSources() const { return randomSources_; }
    // The plug-in's getrandom calls, and the flags of the last.
    uint64_t getrandomCalls() const { return getrandomCalls_; }
    long lastGetrandomFlags() const { return lastGetrandomFlags_; }
    void noteGetrandom(long flags) {
        ++getrandomCalls_;
        lastGetrandomFlags_ = flags;
    }
    // Moves the clock forward, firing each timer event when the clock reaches it. One timer
    // unit is one second.
    void advance(uint64_t seconds);
    // Fires the timer events due now (a delay of 0 is due at once); returns how many fired.
    int fireDueTimers();
    const std::vector<TimerRequest>& timerRequests() const { return timers_; }
    int32_t scheduleTimer(void* handle, int32_t zero, int32_t delay);

    // ---- The host's functions -----------------------------------------------------------
    // Calls the plug-in made of the host's exported functions since the Host was made.
    uint64_t hostCalls() const { return hostCalls_; }
    void countHostCall() { ++hostCalls_; }

    // ---- The log -------------------------------------------------------------------------
    const std::vector<std::string>& log() const { return log_; }
    void writeLog(const std::string& line) { log_.push_back(line); }

    // ---- Rooms and users -----------------------------------------------------------------
    // Null when the room cannot be laid out so (or `id` is taken).
    void* addRoom(int16_t id, const std::vector<Spot>& spots, RoomLayout layout = {});
    void* addRoom(int16_t id, const std::vector<std::string>& spotNames);
    // As above, for a braced list of names, which would otherwise also read as a range of Spots.
    void* addRoom(int16_t id, std::initializer_list<std::string> spotNames) {
        return addRoom(id, std::vector<std::string>(spotNames));
    }
    void* room(int16_t id) const;
    void* spot(void* room, int16_t spotId) const;
    int16_t spotState(int16_t roomId, int16_t spotId) const;
    void setSpotState(int16_t roomId, int16_t spotId, int16_t state);
    // The text CvtToCString gives for a stored name, or null.
    const char* convertName(const void* stored);

    void* addUser(uint32_t wordA, uint32_t wordB, int16_t roomId = 0);
    int16_t userRoom(const void* user) const;

    // ---- Messages: each returns true when the plug-in let the message pass; the host then
    // applies it (moves the user, or sets the spot's state).
    bool logon(void* user, int16_t roomId);
    bool enterRoom(void* user, int16_t roomId);
    bool changeSpot(void* user, int16_t roomId, int16_t spotId, int16_t state);
    void* makeContext(void* user, void* room);
    void* makeMessage(uint32_t event);  // header and a zeroed body
    void* send(void* context, void* message);  // handleMessage, as is

    // ---- Host memory ---------------------------------------------------------------------
    void* newPtrClear(int32_t size);
    void disposePtr(void* block);
    const MemoryCounts& memory() const { return memory_; }
    // Every block DisposePtr was given, in order, while recording is on.
    void recordDisposals(bool on) { recording_ = on; disposals_.clear(); }
    const std::vector<void*>& disposals() const { return disposals_; }
    // Makes room in the simulator's own bookkeeping of live host blocks for `count` of them, so
    // that a benchmark does not time its growth (a real host keeps no such set).
    void reserveBlocks(size_t count) { liveBlocks_.reserve(count); }
    // Makes the NewPtrClear call after `successes` more successful ones fail, once.
    void failNewPtrClearAfter(uint64_t successes) { newPtrFailIn_ = static_cast<int64_t>(successes); }
    // Makes the plug-in's realloc call after `successes` more successful ones fail, once.
    // Only where reallocFaultsSupported().
    static void failReallocAfter(uint64_t successes);
    static bool reallocFaultsSupported();
    // Whether a fault set up with failNewPtrClearAfter or failReallocAfter has yet to happen.
    bool faultPending() const;
    void clearFaults();

    // Arena memory for a host record of `size` bytes.
    void* hostMemory(size_t size);

  private:
    struct RoomInfo {
        void* record;
        char* base;                    // the data block's own base
        std::vector<int16_t> spotIds;  // by position in the spot array
        bool spotsFound;               // whether the host finds the spots through the record
    };
    // A context and a message reused by the host's own messages, so long runs use no more
    // host memory.
    struct Scratch {
        void* context;
        void* message;
    };
    Scratch& freshScratch();
    char* spotAt(const RoomInfo& info, size_t position) const;
    const RoomInfo* findRoom(int16_t id) const;
    void fire(TimerRequest& request);

    Arena arena_;
    Plugin plugin_;
    std::vector<std::string> arguments_;
    void* handle_;
    bool running_ = false;  // started and not yet shut down
    uint64_t now_ = kDefaultClock;
    ClockLibrary clockLibrary_ = ClockLibrary::Overflow;
    KernelClock kernelClock_ = KernelClock::Linux5_1;
    ClockCalls clockCalls_;
    uint64_t hostCalls_ = 0;
    bool randomSources_ = true;
    uint64_t getrandomCalls_ = 0;
    long lastGetrandomFlags_ = 0;
    std::vector<TimerRequest> timers_;
    size_t firstUnfired_ = 0;  // every request before it has fired, so long runs stay fast
    std::vector<std::string> log_;
    std::map<int16_t, RoomInfo> rooms_;
    MemoryCounts memory_;
    std::unordered_set<void*> liveBlocks_;
    bool recording_ = false;
    std::vector<void*> disposals_;
    int64_t newPtrFailIn_ = -1;
    Scratch scratch_;
    char nameBuffer_[256];
};

// Marks the plug-in's own code running, so that injected realloc faults hit only its calls.
class InPlugin {
  public:
    InPlugin();
    ~InPlugin();
    InPlugin(const InPlugin&) = delete;
    InPlugin& operator=(const InPlugin&) = delete;
};

}  // namespace hostsim
