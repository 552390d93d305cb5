#include "model/iso_time.h"

namespace kr::collector {

namespace {

// Civil date of a day count since 1970-01-01 (proleptic Gregorian).
void civil_from_days(std::int64_t days, int& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = days / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

void put_digits(char* at, unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

}  // namespace

std::string iso_time(std::uint32_t seconds) {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civil_from_days(seconds / 86400, year, month, day);
    const unsigned rest = seconds % 86400;
    std::string text = "0000-00-00T00:00:00Z";
    put_digits(&text[0], static_cast<unsigned>(year), 4);
    put_digits(&text[5], month, 2);
    put_digits(&text[8], day, 2);
    put_digits(&text[11], rest / 3600, 2);
    put_digits(&text[14], rest / 60 % 60, 2);
    put_digits(&text[17], rest % 60, 2);
    return text;
}

}  // namespace kr::collector
