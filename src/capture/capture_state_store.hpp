#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "core/json.hpp"
#include "core/queue.hpp"

namespace sayloft::capture {

// Which files of each watched folder were already seen, across polls and launches.
class CaptureStateStore {
  public:
    struct SeenEntry {
        core::TimePoint firstSeen;
        std::string canonicalId;  // empty where no capture id was given
        bool operator==(const SeenEntry&) const = default;
    };
    struct State {
        int version = 2;
        std::map<std::string, std::map<std::string, SeenEntry>> seenByFolder;
        std::map<std::string, SeenEntry> voiceMemosSeen;
        bool operator==(const State&) const = default;
    };

    static constexpr const char* kIndexDoneMarker = ".sayloft-index-done";

    CaptureStateStore(std::filesystem::path storePath, std::filesystem::path legacyPath,
                      core::Clock& clock = core::systemClock());
    static std::filesystem::path defaultStorePath();   // ~/.local/state/sayloft/state.json
    static std::filesystem::path defaultLegacyPath();  // ~/.voice_memo_watcher_state.json

    bool hasSeen(const std::string& fileName, const std::string& folderId);
    void markSeen(const std::string& fileName, const std::string& canonicalId,
                  const std::string& folderId, core::TimePoint date);
    int forget(const std::vector<std::string>& fileNames, const std::string& folderId);
    int seenCount(const std::string& folderId);
    State snapshot();

    // File names that are not valid UTF-8 cannot be JSON keys as they are: their invalid bytes
    // are written as "%XX". Valid names are kept byte for byte.
    static std::string keyFor(const std::string& fileName);

    static core::Json encode(const State& state);
    static State decode(const core::Json& json);  // throws on a malformed file

  private:
    void load();
    void persist();

    std::filesystem::path storePath_;
    std::filesystem::path legacyPath_;
    core::Clock& clock_;
    State state_;
    core::SerialQueue queue_{"sayloft.capture.state"};
};

// The two steps that bring older layouts to the current one.
namespace CaptureStateMigration {
CaptureStateStore::State migrate(CaptureStateStore::State state);
CaptureStateStore::State fromLegacyPython(const std::vector<std::string>& processed,
                                          core::TimePoint importTime);
}  // namespace CaptureStateMigration

// Voice Memos file names ("20250314 093012-3F2A9C1B.m4a") to dates, and dates to capture ids.
namespace FilenameNormaliser {
struct Parsed {
    core::TimePoint timestamp;
    std::string hexId;
};
std::optional<Parsed> parse(const std::string& fileName);
std::string canonicalId(core::TimePoint date);
}  // namespace FilenameNormaliser

}  // namespace sayloft::capture
