#include "codec/message_date.h"

#include <array>
#include <cctype>
#include <string>
#include <vector>

#include "core/text.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct ZoneName {
    std::string_view name;
    int minutes;  // local time minus UTC
};
constexpr std::array<ZoneName, 11> kZoneNames{{
    {"UT", 0},
    {"GMT", 0},
    {"Z", 0},
    {"EST", -300},
    {"EDT", -240},
    {"CST", -360},
    {"CDT", -300},
    {"MST", -420},
    {"MDT", -360},
    {"PST", -480},
    {"PDT", -420},
}};

constexpr std::array<std::string_view, 12> kMonthNames{"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                       "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

bool AllDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Reads "hh:mm" or "hh:mm:ss"; false when the text is not such a time.
bool ReadTime(std::string_view text, int& hour, int& minute, int& second) {
    std::string_view parts[3];
    size_t count = 0;
    size_t start = 0;
    while (count < 3) {
        size_t colon = text.find(':', start);
        parts[count++] =
            text.substr(start, colon == std::string_view::npos ? colon : colon - start);
        if (colon == std::string_view::npos) break;
        start = colon + 1;
        if (count == 3) return false;
    }
    if (count < 2) return false;
    for (size_t i = 0; i < count; ++i) {
        if (!AllDigits(parts[i]) || parts[i].size() > 2) return false;
    }
    hour = static_cast<int>(LeadingNumber(parts[0]));
    minute = static_cast<int>(LeadingNumber(parts[1]));
    second = count == 3 ? static_cast<int>(LeadingNumber(parts[2])) : 0;
    return hour <= 23 && minute <= 59 && second <= 60;
}

// Reads a zone: "+hhmm", "-hhmm" or a name. Returns false when unreadable.
bool ReadZone(std::string_view text, int& minutes) {
    if (text.size() == 5 && (text[0] == '+' || text[0] == '-') && AllDigits(text.substr(1))) {
        int value = static_cast<int>(LeadingNumber(text.substr(1)));
        if (value % 100 > 59) return false;
        minutes = (value / 100) * 60 + value % 100;
        if (text[0] == '-') minutes = -minutes;
        return true;
    }
    std::string upper = UpperCase(text);
    for (const ZoneName& zone : kZoneNames) {
        if (upper == zone.name) {
            minutes = zone.minutes;
            return true;
        }
    }
    // Military letters and other names carry no reliable offset (RFC 5322 4.3).
    for (char c : upper) {
        if (c < 'A' || c > 'Z') return false;
    }
    minutes = 0;
    return !upper.empty();
}

// Returns the words of a date text, split at spaces, commas and TABs.
// Comments, "(CET)" and the like, carry nothing the zone does not: they are
// left out, without ending the word they stand in.
std::vector<std::string> DateWords(std::string_view dateText) {
    std::vector<std::string> words;
    std::string word;
    int depth = 0;
    for (char c : dateText) {
        if (c == '(') {
            ++depth;
        } else if (c == ')' && depth > 0) {
            --depth;
        } else if (depth > 0) {
            continue;
        } else if (c == ' ' || c == ',' || c == '\t') {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

// Reads the date text as seconds since 1970-01-01 UTC; false when it is not
// a date with a day, month, year and time (the weekday and the zone may be
// missing; without a zone the time counts as UTC).
bool ReadDate(std::string_view dateText, int64_t& unixSeconds) {
    std::vector<std::string> words = DateWords(dateText);
    size_t i = 0;
    if (i < words.size() && std::isalpha(static_cast<unsigned char>(words[i][0]))) {
        ++i;  // the day of the week
    }
    if (words.size() < i + 4) return false;
    std::string_view dayWord = words[i], monthWord = words[i + 1], yearWord = words[i + 2];
    if (!AllDigits(dayWord) || dayWord.size() > 2 || !AllDigits(yearWord) || yearWord.size() > 4) {
        return false;
    }
    int month = 0;
    std::string monthUpper = UpperCase(monthWord.substr(0, 3));
    for (size_t m = 0; m < kMonthNames.size(); ++m) {
        if (monthWord.size() >= 3 && monthUpper == kMonthNames[m]) month = static_cast<int>(m) + 1;
    }
    int day = static_cast<int>(LeadingNumber(dayWord));
    int64_t year = LeadingNumber(yearWord);
    // Two-digit years: 00..49 are 2000..2049; three digits count from 1900.
    if (yearWord.size() == 2) year += year < 50 ? 2000 : 1900;
    if (yearWord.size() == 3) year += 1900;
    int hour = 0, minute = 0, second = 0;
    if (month == 0 || day < 1 || day > 31 || !ReadTime(words[i + 3], hour, minute, second)) {
        return false;
    }
    int zoneMinutes = 0;
    if (words.size() > i + 4 && !ReadZone(words[i + 4], zoneMinutes)) return false;
    unixSeconds = DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 +
                  second - zoneMinutes * 60;
    return true;
}

}  // namespace

int64_t AgeInDays(std::string_view dateText, int64_t nowUnixSeconds) {
    int64_t when = 0;
    if (!ReadDate(dateText, when) || when > nowUnixSeconds) return 0;
    return (nowUnixSeconds - when) / kSecondsPerDay;
}
