#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.hpp"
#include "core/json.hpp"
#include "settings/settings.hpp"

namespace sayloft::recorder {

using settings::RecordingSource;

inline constexpr const char* kLayoutMicrophoneSystem = "L=microphone,R=system";
inline constexpr const char* kLayoutSystemStereo = "L=system-left,R=system-right";
inline constexpr const char* kLayoutMixed = "mixed (see segments)";

// Peak and RMS of each side, 0…1.
struct LevelsSummary {
    float micPeak = 0;
    float micRMS = 0;
    float systemPeak = 0;
    float systemRMS = 0;
    bool operator==(const LevelsSummary&) const = default;
};

// One segment file of a recording, in recording order.
struct RecordingSegment {
    std::string file;  // "segment-001.caf"
    core::TimePoint startedAt;
    std::optional<core::TimePoint> endedAt;
    double sampleRate = 48000;
    std::optional<std::string> micDeviceName;
    std::string reason;  // start, resume, wake, device-change, ...
    std::optional<RecordingSource> source;
    std::optional<std::string> channelLayout;
    std::optional<bool> echoCancelled;
    std::optional<double> echoReferenceDelay;  // seconds
    bool operator==(const RecordingSegment&) const = default;
};

// "recording.json": what a recording is and where its audio lies. Rewritten durably at every
// change so that a recording survives a crash.
struct RecordingSidecar {
    std::string id;
    core::TimePoint startedAt;
    std::optional<core::TimePoint> endedAt;
    RecordingSource source;
    std::optional<std::string> microphoneName;
    std::string channelLayout = kLayoutMicrophoneSystem;
    std::vector<RecordingSegment> segments;
    std::string status = "recording";  // recording, paused, stopped, encoded, sent, discarded
    bool systemSideSilent = true;
    bool micSideSilent = true;
    std::optional<LevelsSummary> levels;
    std::optional<std::vector<std::string>> submittedParts;
    std::optional<bool> reconstructed;
    std::optional<std::string> echoCancellation;  // automatic, on, off
    std::optional<std::string> outputKind;
    std::string appVersion = "?";
    bool operator==(const RecordingSidecar&) const = default;
};

// The statuses of a recording that was never handed over.
bool isUnfinishedStatus(const std::string& status);
// No sample reached either recorded side.
bool isSilent(const RecordingSidecar& sidecar);

// The ways a date may be stored in an older or foreign sidecar, tried in this order.
enum class SidecarDateForm {
    iso8601,            // "2025-03-14T08:30:12Z"
    iso8601Fractional,  // "2025-03-14T08:30:12.345Z"
    referenceSeconds,   // seconds since 2001-01-01 as a number
    unixSeconds,        // seconds since 1970-01-01 as a number
};

// Sorted keys, dates as ISO 8601 UTC without fractions, absent optionals left out.
core::Json encodeSidecar(const RecordingSidecar& sidecar);
std::string renderSidecar(const RecordingSidecar& sidecar);
// Throws when a required key is missing, a type is wrong or a date does not fit `form`.
RecordingSidecar decodeSidecar(const core::Json& json, SidecarDateForm form);
// Tries every date form in order; nothing when the text is not a sidecar in any of them.
std::optional<RecordingSidecar> parseSidecar(std::string_view text);

// A recording's id: its start as "yyMMdd-HHmmss" in local time.
std::string recordingCanonicalID(core::TimePoint start);

}  // namespace sayloft::recorder
