#include "foundation/DateTimePoint.h"

#include <cerrno>
#include <chrono>
#include <ctime>

namespace sonorix {

DateTimePoint DateTimePoint::now(bool subSecond) {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
    DateTimePoint p;
    p.seconds = micros / 1000000;
    int64_t rest = micros % 1000000;
    if (rest < 0) {
        rest += 1000000;
        --p.seconds;
    }
    p.nanoseconds = subSecond ? static_cast<int32_t>(rest * 1000) : 0;
    return p;
}

std::string DateTimePoint::format(const char* pattern) const {
    // time_t is 64-bit here; gmtime_r refuses years beyond int.
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm broken{};
    if (!gmtime_r(&t, &broken)) {
        return {};
    }
    char buffer[128];
    size_t n = std::strftime(buffer, sizeof buffer, pattern, &broken);
    return std::string(buffer, n);
}

std::optional<DateTimePoint> DateTimePoint::parse(std::string_view text, const char* pattern) {
    std::string copy(text); // strptime needs a terminated text
    if (copy.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    std::tm broken{};
    const char* end = strptime(copy.c_str(), pattern, &broken);
    if (!end || *end != '\0') {
        return std::nullopt;
    }
    // timegm, unlike mktime, ignores the local time zone.
    broken.tm_isdst = 0;
    errno = 0;
    std::time_t t = timegm(&broken);
    if (t == static_cast<std::time_t>(-1) && errno == EOVERFLOW) {
        return std::nullopt;
    }
    DateTimePoint p;
    p.seconds = static_cast<int64_t>(t);
    return p;
}

} // namespace sonorix
