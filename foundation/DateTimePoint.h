#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sonorix {

// A point in time: seconds since 1970-01-01 00:00:00 UTC and nanoseconds within that second.
// Formatting and parsing always work in UTC, whatever the process's time zone.
struct DateTimePoint {
    int64_t seconds = 0;
    int32_t nanoseconds = 0;

    // The current time; with subSecond the microseconds of the system clock are kept.
    static DateTimePoint now(bool subSecond = false);

    // strftime in UTC; at most 127 characters, empty when the point cannot be broken down.
    std::string format(const char* pattern) const;

    // strptime in UTC. The whole text must match; nothing otherwise.
    static std::optional<DateTimePoint> parse(std::string_view text, const char* pattern);

    friend bool operator==(const DateTimePoint&, const DateTimePoint&) = default;
    friend auto operator<=>(const DateTimePoint&, const DateTimePoint&) = default;
};

// The pattern of stored dates: "2010-03-01T12:00:00Z".
inline constexpr const char* kIsoDatePattern = "%Y-%m-%dT%H:%M:%SZ";

} // namespace sonorix
