#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "platform/user_defaults.hpp"
#include "service/models.hpp"
#include "vault/inbox_writer.hpp"

namespace sayloft::service {
class WendrelClient;
}

namespace sayloft::capture {

class CapturePipeline;

// Sends again every capture whose upload was skipped or failed, one after another.
class CaptureRetry {
  public:
    static constexpr double kGapBetweenUploads = 2;
    static constexpr const char* kWatermarkKey = "sayloft.captureRetry.watermark";
    static const std::set<std::string>& retryableStates();

    struct Progress {
        enum class Kind { scanning, uploading, finished, failed };
        Kind kind = Kind::scanning;
        int done = 0, total = 0;
        std::string currentId;
        int uploaded = 0, skipped = 0, failed = 0;
        std::string error;
        // The text the settings window shows for this progress.
        std::string text() const;
    };

    CaptureRetry(CapturePipeline& pipeline, platform::UserDefaults& defaults, core::Clock& clock);

    // Captures older than this are never retried; set to now on first use.
    static core::TimePoint retryWatermark(platform::UserDefaults& defaults, core::Clock& clock);
    static bool isRetryable(const vault::InboxWriter::Frontmatter& note);
    std::vector<std::string> pendingIds();

    bool isRunning() const { return running_; }
    // Runs to the end on the caller's thread, reporting as it goes.
    void run(const std::function<void(const Progress&)>& progress, std::stop_token stop = {});

  private:
    CapturePipeline& pipeline_;
    platform::UserDefaults& defaults_;
    core::Clock& clock_;
    std::atomic<bool> running_{false};
};

// Pulls into the vault every transcript the service holds and the vault does not.
class BackfillSync {
  public:
    struct Progress {
        enum class Kind { listing, syncing, finished, failed };
        Kind kind = Kind::listing;
        int done = 0, total = 0;
        std::string currentTitle;
        int synced = 0, skipped = 0, failed = 0;
        std::string error;
        std::string text() const;
    };

    BackfillSync(service::WendrelClient& client, vault::InboxWriter inbox, core::Clock& clock);

    // Runs to the end (or to a stop request, checked before each item) on the caller's thread.
    void run(const std::function<void(const Progress&)>& progress, std::stop_token stop = {});
    std::set<std::string> readExistingExternalIDs() const;
    // Writes the note of one remote source; returns its id.
    std::string writeBackfilledItem(const service::SourceDetail& detail,
                                    const service::SourceMetadata& metadata);
    std::string uniqueID(const std::string& id) const;

  private:
    service::WendrelClient& client_;
    vault::InboxWriter inbox_;
    core::Clock& clock_;
};

}  // namespace sayloft::capture
