#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_pipeline.hpp"
#include "core/clock.hpp"
#include "recorder/recording_encoder.hpp"
#include "recorder/recording_recovery.hpp"
#include "recorder/recording_sidecar.hpp"
#include "service/keychain.hpp"

namespace sayloft::capture {

// What handing a meeting recording over did.
struct RecordingSubmitOutcome {
    enum class Upload { nothing, uploading, uploadOff, notPaired };
    std::vector<std::optional<std::string>> partIDs;  // one per part; none where not placed
    std::set<std::string> reused;                     // ids whose note was already there
    Upload upload = Upload::nothing;
};
const char* uploadCaseName(RecordingSubmitOutcome::Upload upload);

// Brings finished meeting recordings into the vault like voice memos: each encoded part gets a
// capture id (the recording's id, then id_2, id_3, ... for later parts), its audio and a stub
// note marked as a meeting recording, and its upload through the pipeline. A recording handed
// over twice is recognised by its own notes and never placed twice.
class RecordingHandover {
  public:
    struct Dependencies {
        CapturePipeline& pipeline;
        service::Keychain& keychain;
        const recorder::RecordingRecovery& recordings;
        core::Clock& clock;
    };

    explicit RecordingHandover(Dependencies deps);
    // Waits for the uploads it started.
    ~RecordingHandover();
    RecordingHandover(const RecordingHandover&) = delete;
    RecordingHandover& operator=(const RecordingHandover&) = delete;

    // Places the parts (in part order) and starts their uploads in the background. Records the
    // placed ids in the sidecar's submittedParts and saves it.
    RecordingSubmitOutcome submitRecording(const std::vector<std::filesystem::path>& parts,
                                           recorder::RecordingSidecar& sidecar);

    // Sends one unfinished recording from its work folder: closes its open ends, encodes it,
    // hands the parts over, checks they arrived in the vault and removes the work folder.
    // Returns the result line ("Sent 250314-093012 (12 min)"); throws Error with the text to show
    // (the recording is kept).
    std::string send(const std::string& id, const recorder::RecordingEncoder::Options& options);
    std::string send(const std::string& id) { return send(id, {}); }
    // Deletes an unfinished recording. Throws Error when there is no such recording.
    void discard(const std::string& id);

    // Blocks until the uploads started so far have ended (tests, one-shot commands).
    void waitForUploads();

  private:
    std::string sendOrThrow(const std::string& id, const recorder::RecordingEncoder::Options& o);
    bool isOwnNote(const vault::InboxWriter& inbox, const std::string& id,
                   const recorder::RecordingSidecar& sidecar) const;

    Dependencies deps_;
    std::mutex uploadsMutex_;
    std::vector<std::jthread> uploads_;
};

}  // namespace sayloft::capture
