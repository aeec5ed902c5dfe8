#pragma once
// Times of the recordings pages, their JSON and the export tool: microseconds since 1970 UTC
// inside, ISO 8601 local time or Unix seconds outside. Pure functions over the C library's
// time zone; any thread may call them.
#include <cstdint>
#include <string>

namespace rectime {

// "2026-12-10T09:30:00" (local time; ".ffffff" fractions and a missing ":SS" allowed), or Unix
// seconds with an optional fraction of up to six digits ("1765355400", "1765355400.25"). Nothing
// else: no blanks, no signs, no zone suffix, no fields out of range. False when malformed.
bool parseTime(const std::string& text, uint64_t* us);

// Local time "2026-12-10T09:30:00" (whole seconds, rounded down).
std::string isoLocal(uint64_t us);
// Local time "2026-12-10 09:30:00.123" for pages.
std::string displayLocal(uint64_t us);
// Local time without colons, for file names: "2026-12-10T09-30-00"; with micro set the six
// fraction digits follow ("2026-12-10T09-30-00.123456").
std::string fileLocal(uint64_t us, bool micro = false);
// Local "YYYY-MM-DD" of us, and the microsecond start of that local day.
std::string dayOf(uint64_t us);
uint64_t dayStart(uint64_t us);
// Parses "YYYY-MM-DD" into the microsecond start of that local day; false when malformed.
bool parseDay(const std::string& text, uint64_t* startUs);
// Seconds with six fraction digits ("1765355400.250000"), for JSON and links.
std::string unixText(uint64_t us);

}  // namespace rectime
