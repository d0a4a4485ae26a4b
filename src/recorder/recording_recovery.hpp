#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "recorder/recording_sidecar.hpp"

namespace sayloft::recorder {

// The recordings folder and its work folders, one per recording id, each holding
// "recording.json", the segments "segment-001.caf", ... and, during a hand-over, encoded parts.
// Finds recordings that were never handed over, repairs what a crash left and offers the rest.
class RecordingRecovery {
  public:
    // `root` is the recordings folder; the product uses defaultRoot().
    explicit RecordingRecovery(std::filesystem::path root,
                               core::Clock& clock = core::systemClock());
    static std::filesystem::path defaultRoot();  // <data dir>/Recordings

    const std::filesystem::path& root() const { return root_; }
    // Why recordings cannot be kept in the recordings folder ("<path> is a regular file, not a
    // folder", a FIFO, a link to nothing ...); nothing when it is a folder, a link to one, or
    // not there yet (it is made on the first recording).
    std::optional<std::string> rootProblem() const;
    // Throws for an id that could leave the recordings folder (empty, ".", "..", "/", NUL).
    std::filesystem::path workFolder(const std::string& id) const;
    static bool isValidID(const std::string& id);

    // Unfinished recordings, newest start first; finished leftovers ("sent", "discarded") are
    // removed, folders without sidecar or audio left alone. Segments of the recordings offered
    // get their headers repaired.
    std::vector<RecordingSidecar> scan(const std::optional<std::string>& exclude = {}) const;
    std::optional<RecordingSidecar> loadSidecar(const std::string& id) const;
    // Rebuilds and saves a sidecar from the segment files; nothing without segments.
    std::optional<RecordingSidecar> reconstructSidecar(const std::string& id) const;
    // Gives the last segment and the recording an end (the last segment file's modification
    // time) where they have none, and repairs the segment headers.
    RecordingSidecar closeOpenEnds(RecordingSidecar sidecar) const;
    // Durable write; only while the work folder exists. Failures are logged.
    void saveSidecar(const RecordingSidecar& sidecar) const;
    void removeEncodedParts(const std::string& id) const;
    // Repairs the data size of every segment file of the work folder; returns how many changed.
    int repairSegments(const std::string& id) const;
    // Removes the work folder. False (and a log line) when it exists and cannot be removed.
    bool removeWorkFolder(const std::string& id) const;

  private:
    std::filesystem::path root_;
    core::Clock* clock_;
};

// One unfinished recording as a list shows it.
struct UnfinishedRecording {
    std::string id;
    core::TimePoint startedAt;
    double seconds = 0;  // audio on disk
    std::string why;     // why it waits: "interrupted while recording", "silent", ...
    bool silent = false;
    RecordingSidecar sidecar;
};
// The recordings a scan offers, newest first, with the audio length read from the segments.
std::vector<UnfinishedRecording> listUnfinished(const RecordingRecovery& recovery);
// Seconds of audio in the segments the sidecar names (unreadable ones count 0).
double recordedSeconds(const std::filesystem::path& workFolder, const RecordingSidecar& sidecar);

// The segment files of a work folder ("segment-*.caf"), sorted by name.
std::vector<std::string> segmentFiles(const std::filesystem::path& folder);

// A CAF file whose writer died keeps the data size its header had at the last update, which may
// be short of the audio on disk (or unset). Sets it from the file length, counting whole frames
// only, when the data chunk is the file's last. Returns true when the header was changed.
bool repairCafDataSize(const std::filesystem::path& file);

}  // namespace sayloft::recorder
