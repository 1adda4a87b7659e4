// Times and durations in text.
#include "tools/common/clock_text.h"

#include <stdio.h>
#include <time.h>

namespace simtool {

namespace {

constexpr uint64_t kDay = 86400;
constexpr uint64_t kLatest = UINT64_C(4291747199);  // 2105-12-31 23:59:59, within a 32-bit stamp

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The civil date of a count of days since 1970-01-01.
void civilFromDays(int64_t z, int* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (*m <= 2));
}

bool allDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

unsigned daysInMonth(int y, unsigned m) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

}  // namespace

std::string formatDate(uint64_t seconds) {
    int y;
    unsigned m, d;
    civilFromDays(static_cast<int64_t>(seconds / kDay), &y, &m, &d);
    uint64_t s = seconds % kDay;
    char text[40];
    snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u", y, m, d, static_cast<unsigned>(s / 3600),
             static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60));
    return text;
}

std::string formatIsoDate(uint64_t seconds) {
    std::string text = formatDate(seconds);
    text[10] = 'T';
    return text + "Z";
}

std::string formatAge(uint64_t seconds) {
    unsigned long long d = seconds / kDay, h = seconds / 3600 % 24, m = seconds / 60 % 60, s = seconds % 60;
    char text[64];
    if (d != 0)
        snprintf(text, sizeof text, "%llud %02lluh %02llum %02llus", d, h, m, s);
    else if (h != 0)
        snprintf(text, sizeof text, "%lluh %02llum %02llus", h, m, s);
    else if (m != 0)
        snprintf(text, sizeof text, "%llum %02llus", m, s);
    else
        snprintf(text, sizeof text, "%llus", s);
    return text;
}

bool parseDate(const std::string& text, uint64_t* seconds) {
    if (allDigits(text)) {
        if (text.size() > 10) return false;
        uint64_t value = std::stoull(text);
        if (value > kLatest) return false;
        *seconds = value;
        return true;
    }
    int y = 0;
    unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0;
    int used = 0;
    bool dateOnly = text.size() == 10 && sscanf(text.c_str(), "%4d-%2u-%2u%n", &y, &mo, &d, &used) == 3;
    bool withTime = text.size() == 19 && (text[10] == ' ' || text[10] == 'T') &&
                    sscanf(text.c_str(), "%4d-%2u-%2u%*c%2u:%2u:%2u%n", &y, &mo, &d, &h, &mi, &s, &used) == 6;
    bool withZone = text.size() == 20 && text[10] == 'T' && text[19] == 'Z' &&
                    sscanf(text.c_str(), "%4d-%2u-%2uT%2u:%2u:%2uZ%n", &y, &mo, &d, &h, &mi, &s, &used) == 6;
    if (!dateOnly && !withTime && !withZone) return false;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 || s > 59) return false;
    uint64_t value = static_cast<uint64_t>(daysFromCivil(y, mo, d)) * kDay + h * 3600 + mi * 60 + s;
    if (value > kLatest) return false;
    *seconds = value;
    return true;
}

bool parseDuration(const std::string& text, uint64_t* seconds) {
    if (text.empty()) return false;
    uint64_t unit = 1;
    std::string digits = text;
    switch (text.back()) {
        case 's': unit = 1; break;
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        case 'd': unit = kDay; break;
        default: unit = 0;
    }
    if (unit != 0) digits.pop_back();
    else unit = 1;
    if (!allDigits(digits) || digits.size() > 9) return false;
    *seconds = std::stoull(digits) * unit;
    return true;
}

uint64_t realNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec);
}

}  // namespace simtool
