#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "core/json.hpp"
#include "core/queue.hpp"

namespace sayloft::capture {

// Which files of each watched folder were already seen, across polls and launches.
//
// A file found new is first claimed: it becomes pending, with the capture id it is filed under,
// and the claim is saved durably before anything is written for it. It turns seen only once its
// audio copy and stub note are durable in the vault. A pending file is handed on again after a
// restart, and after a failure (with a growing pause), so a recording is never lost between
// "found" and "noted".
//
// Writes are batched: changes stay in memory until save(), which the coordinator calls once per
// tick (and once per batch of claims). Each save keeps the previous generation of the file.
class CaptureStateStore {
  public:
    struct SeenEntry {
        core::TimePoint firstSeen;
        std::string canonicalId;  // empty where no capture id was given
        bool operator==(const SeenEntry&) const = default;
    };
    struct PendingEntry {
        core::TimePoint firstSeen;
        std::string captureId;
        int attempts = 0;                        // failures so far
        std::optional<core::TimePoint> nextTry;  // absent: at the next tick
        std::string lastError;
        bool operator==(const PendingEntry&) const = default;
    };
    struct State {
        int version = 2;
        std::map<std::string, std::map<std::string, SeenEntry>> seenByFolder;
        std::map<std::string, SeenEntry> voiceMemosSeen;
        std::map<std::string, std::map<std::string, PendingEntry>> pendingByFolder;
        bool operator==(const State&) const = default;
    };
    // A pending file as status and retry show it.
    struct Pending {
        std::string folderId;
        std::string fileName;
        PendingEntry entry;
    };

    static constexpr double kFirstRetryDelay = 30;
    static constexpr double kMaxRetryDelay = 3600;

    static constexpr const char* kIndexDoneMarker = ".sayloft-index-done";

    CaptureStateStore(std::filesystem::path storePath, std::filesystem::path legacyPath,
                      core::Clock& clock = core::systemClock());
    static std::filesystem::path defaultStorePath();   // ~/.local/state/sayloft/state.json
    static std::filesystem::path defaultLegacyPath();  // ~/.voice_memo_watcher_state.json

    ~CaptureStateStore();

    bool hasSeen(const std::string& fileName, const std::string& folderId);
    // Seen or pending.
    bool isKnown(const std::string& fileName, const std::string& folderId);
    // The names among `fileNames` that are neither seen nor pending, in one pass.
    std::vector<std::string> unknown(const std::vector<std::string>& fileNames,
                                     const std::string& folderId);
    // In memory until the next save().
    void markSeen(const std::string& fileName, const std::string& canonicalId,
                  const std::string& folderId, core::TimePoint date);
    // Many files of one folder at once (an initial index), in memory until the next save().
    void markSeenAll(const std::vector<std::pair<std::string, std::string>>& namesAndIds,
                     const std::string& folderId, core::TimePoint date);
    // Saves at once.
    int forget(const std::vector<std::string>& fileNames, const std::string& folderId);
    int seenCount(const std::string& folderId);
    State snapshot();

    // The initial index of a folder has run (the marker, or any entry from an older layout).
    bool indexDone(const std::string& folderId);
    // Sets the marker of a folder whose index ran.
    void setIndexDone(const std::string& folderId);
    // When the state file was damaged and no earlier generation could be read: the time of its
    // last successful write. An initial index then leaves files changed after it unseen.
    std::optional<core::TimePoint> recoveredAfter();

    // Claims a new file under the first of `baseId`, baseId_2, baseId_3 ... that no other file
    // holds and that `usable` accepts; a file already pending keeps its id. Returns the id and
    // marks the file in flight.
    std::string claim(const std::string& fileName, const std::string& folderId,
                      const std::string& baseId, core::TimePoint firstSeen,
                      const std::function<bool(const std::string&)>& usable = {});
    // Pending files of a folder that are due (not in flight, pause over); marks them in flight.
    std::vector<Pending> takeDuePending(const std::string& folderId);
    // Its audio copy and stub are durable: the file is seen under its capture id.
    void captured(const std::string& fileName, const std::string& folderId);
    // A failure before the note: pending again after a growing pause. Returns the pause.
    double captureFailed(const std::string& fileName, const std::string& folderId,
                         const std::string& error);
    // Handed back without a result (another task held it): due again at the next tick.
    void release(const std::string& fileName, const std::string& folderId);
    // Drops a pending file that has nothing left to capture.
    void dropPending(const std::string& fileName, const std::string& folderId);
    std::vector<Pending> pending();
    // The pending files recorded in a state file, read without touching it (for commands that
    // only look).
    static std::vector<Pending> pendingIn(const std::filesystem::path& storePath);
    // Every pending file becomes due at the next tick; returns how many.
    int retryPendingNow();

    // Writes the state durably when anything changed since the last save. The file it replaces
    // becomes the previous generation. Failures are logged; the next save tries again.
    void save();
    std::filesystem::path previousPath() const;

    // File names that are not valid UTF-8 cannot be JSON keys as they are: their invalid bytes
    // are written as "%XX". Valid names are kept byte for byte.
    static std::string keyFor(const std::string& fileName);

    static core::Json encode(const State& state);
    static State decode(const core::Json& json);  // throws on a malformed file

  private:
    void load();
    void persist();
    void indexIds();
    bool idTaken(const std::string& id, const std::string& folderId, const std::string& key) const;

    std::filesystem::path storePath_;
    std::filesystem::path legacyPath_;
    core::Clock& clock_;
    State state_;
    bool dirty_ = false;
    std::optional<core::TimePoint> recoveredAfter_;
    std::set<std::pair<std::string, std::string>> inFlight_;               // folder, key
    std::map<std::string, std::pair<std::string, std::string>> idOwners_;  // id -> folder, key
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
