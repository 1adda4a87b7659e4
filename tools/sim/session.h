// Replaying a session script against the real plug-in through the host simulator, with a
// transcript of what each event changed and a verdict on each expectation.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "sim/host.h"
#include "tools/sim/script.h"

namespace simtool {

class Session {
  public:
    // REQUIRES: `host` has the plug-in loaded and runs in a folder of its own; the script's
    // data file, if any, is in place there.
    Session(const Script& script, hostsim::Host& host, FILE* out);

    // Lays out the script's rooms and users in the host and replays its steps, writing the
    // transcript. False with a message when the host cannot go on (the library cannot be
    // reloaded, a room cannot be laid out).
    bool run(std::string* error);

    int held() const { return held_; }
    const std::vector<int>& failedLines() const { return failedLines_; }

  private:
    struct RecordView {
        uint32_t stamp;
        std::vector<int16_t> values;
    };
    struct Snapshot {
        std::vector<std::vector<int16_t>> spots;  // by room, by spot position
        std::map<uint32_t, RecordView> records;   // by key
    };

    bool setUp(std::string* error);
    bool step(const Step& s, std::string* error);
    bool message(const Step& s);
    bool restart(std::string* error);
    void start();
    void shutdown();
    void advance(uint64_t seconds);
    void nextTimer();
    // Fires the timer events due now and returns how many fired. `quiet`: tells only of those
    // that dropped a record or changed the data file's count of records.
    int fireDue(bool quiet);
    uint64_t nextDue() const;  // when the next timer event asked for falls due, or UINT64_MAX
    std::string nextDueText() const;
    void expectation(const Step& s);
    void say(const std::string& line);

    Snapshot snapshot() const;
    void reportSpots(const Snapshot& before, const Snapshot& after);
    // `loaded`: records that are new in `after` were read from the data file.
    void reportRecords(const Snapshot& before, const Snapshot& after, bool loaded);
    void reportHostNews();
    void showRoom(int room);
    void showRecords();
    void showFile();
    std::string fileSummary() const;

    std::vector<std::string> variableNames() const;
    std::string userNames(uint32_t key) const;  // the script's users with this key, or ""
    std::string userOfKey(uint32_t key) const;  // their names, or the key and its key name
    std::string userWithKey(uint32_t key) const;  // their names, if any, with the key and its key name
    std::string valuesText(const std::vector<int16_t>& values) const;
    void* userRecord(int user) const { return users_[static_cast<size_t>(user)]; }

    const Script& script_;
    hostsim::Host& host_;
    FILE* out_;
    std::vector<void*> users_;
    std::vector<std::string> variables_;  // the table as the plug-in last held it
    size_t logSeen_ = 0;
    size_t timersSeen_ = 0;
    bool lastPassed_ = false;
    bool blankBefore_ = true;  // the transcript's last line is blank
    int held_ = 0;
    std::vector<int> failedLines_;
};

}  // namespace simtool
