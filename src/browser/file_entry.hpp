#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.hpp"
#include "core/json.hpp"
#include "settings/settings.hpp"

namespace sayloft::browser {

// Where a listed file was found.
enum class Source { vault, workspace, outbox, inbox, handoff };

std::string_view sourceName(Source source);
std::optional<Source> sourceFromName(std::string_view name);

// A date earlier than any file's: remote files without a date in their name sort last.
inline constexpr core::TimePoint kDistantPast =
    core::TimePoint{} - std::chrono::hours(24 * 365 * 250);

// One file listed by the vault browser. Text fields are valid UTF-8 (names that are not are
// shown with replacement characters); fullPath holds the exact bytes of the path.
struct FileEntry {
    std::string id;  // random UUID, new per scan result
    std::string filename;
    std::string relativePath;
    std::string parentFolder;
    core::TimePoint creationDate{};
    core::TimePoint modificationDate{};
    int64_t size = 0;
    std::string fullPath;
    Source source = Source::vault;
    std::optional<core::TimePoint> filenameDate;
    std::optional<std::string> domain;
    std::optional<std::string> fileType;

    // Entries order by creation date.
    bool operator<(const FileEntry& other) const { return creationDate < other.creationDate; }
};

// The date that counts under a time basis: modification, creation, or the later of the two.
core::TimePoint fileDate(const FileEntry& entry, settings::TimeBasis basis);

// A random version 4 UUID in its usual upper-case text form.
std::string newUuid();

// Text for display: NFC when the bytes are valid UTF-8, else repaired with U+FFFD.
std::string displayText(std::string_view bytes);
// Lower-cased text (Unicode-aware for valid UTF-8, ASCII only otherwise).
std::string lowerText(std::string_view text);
// The last path component, and the name of the folder holding it.
std::string lastComponent(std::string_view path);
std::string parentName(std::string_view path);
// The lower-cased extension without the dot; empty when there is none.
std::string lowerExtension(std::string_view filename);

// "file:///..." with every byte outside the unreserved set percent-encoded, and back.
std::string fileUrl(std::string_view path);
std::optional<std::string> pathFromFileUrl(std::string_view url);

// Cache form: dates as seconds since 2001-01-01 00:00:00 UTC, fullPath as a file URL.
double referenceSeconds(core::TimePoint t);
core::TimePoint fromReferenceSeconds(double seconds);
core::Json toJson(const FileEntry& entry);
FileEntry entryFromJson(const core::Json& json);  // throws on a missing or mistyped field

// Start of the local calendar day holding `t`, and `days` calendar days before it.
core::TimePoint startOfDay(core::TimePoint t);
core::TimePoint addDays(core::TimePoint dayStart, int days);
bool sameDay(core::TimePoint a, core::TimePoint b);

// Sorts newest first by the basis's date, keeping the order of equal dates.
// A hash of which files a list holds, in which order, with which dates: equal lists hash equal.
size_t fingerprint(const std::vector<FileEntry>& files, size_t seed = 0);
void sortNewestFirst(std::vector<FileEntry>& files, settings::TimeBasis basis);

}  // namespace sayloft::browser
