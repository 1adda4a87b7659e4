// Times and durations as the simulator tool writes and reads them: UTC dates such as
// "2026-01-01 12:30:00", and durations such as "300", "90s", "5m", "2h" or "6d".
#pragma once

#include <stdint.h>

#include <string>

namespace simtool {

// "YYYY-MM-DD HH:MM:SS" in UTC for `seconds` since the epoch.
std::string formatDate(uint64_t seconds);

// The same time in ISO 8601 form, "YYYY-MM-DDTHH:MM:SSZ", as spreadsheets read it.
std::string formatIsoDate(uint64_t seconds);

// An age in whole units: "0s", "4m 10s", "2h 05m", "5d 00h 00m 01s".
std::string formatAge(uint64_t seconds);

// Reads "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DDTHH:MM:SSZ" (UTC) or a plain count of
// seconds since the epoch. False when `text` is none of these or lies outside 1970 to 2105.
bool parseDate(const std::string& text, uint64_t* seconds);

// Reads a count with an optional unit: s (the default), m, h or d. False on anything else.
bool parseDuration(const std::string& text, uint64_t* seconds);

// The machine's present time, read past the simulated clock that the tool's own `time` reads.
uint64_t realNow();

}  // namespace simtool
