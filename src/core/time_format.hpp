#pragma once

#include <optional>
#include <string>

#include "core/clock.hpp"

namespace sayloft::core {

// "2025-03-14T08:30:12Z": seconds precision, UTC.
std::string formatIso8601Utc(TimePoint t);
// "2025-03-14T09:30:12+01:00": seconds precision, the current time zone.
std::string formatIso8601Local(TimePoint t);
// Reads "YYYY-MM-DDTHH:MM:SS" with optional fraction and "Z" or "+HH:MM"/"-HH:MM"/"+HHMM".
std::optional<TimePoint> parseIso8601(const std::string& text);

// Formats with a small pattern language in the current time zone, "en_US_POSIX" style:
// yyyy yy MM dd HH mm ss; other characters are copied. "yyMMdd-HHmmss" gives a capture id.
std::string formatLocal(TimePoint t, const std::string& pattern);
// Reads digits by the same pattern in the current time zone; rejects out-of-range fields
// (month 13, 30 February) rather than rolling them over.
std::optional<TimePoint> parseLocal(const std::string& text, const std::string& pattern);

}  // namespace sayloft::core
