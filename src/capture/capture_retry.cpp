#include "capture/capture_retry.hpp"

#include <fmt/format.h>

#include "capture/capture_access.hpp"
#include "capture/capture_pipeline.hpp"
#include "capture/capture_state_store.hpp"
#include "core/log.hpp"
#include "core/time_format.hpp"
#include "service/wendrel_client.hpp"

namespace sayloft::capture {

namespace fs = std::filesystem;
using vault::InboxWriter;

// ---------------------------------------------------------------------------------------------
// Retry

const std::set<std::string>& CaptureRetry::retryableStates() {
    static const std::set<std::string> states = {"skipped", "upload_failed", "poll_timeout",
                                                 "failed", "paywalled"};
    return states;
}

std::string CaptureRetry::Progress::text() const {
    switch (kind) {
        case Kind::scanning:
            return "Scanning _inbox…";
        case Kind::uploading:
            return fmt::format("Uploading {} of {}", done + 1, total);
        case Kind::finished:
            return fmt::format("Done. {} uploaded, {} skipped, {} failed.", uploaded, skipped,
                               failed);
        case Kind::failed:
            return error;
    }
    return "";
}

CaptureRetry::CaptureRetry(CapturePipeline& pipeline, platform::UserDefaults& defaults,
                           core::Clock& clock)
    : pipeline_(pipeline), defaults_(defaults), clock_(clock) {}

core::TimePoint CaptureRetry::retryWatermark(platform::UserDefaults& defaults, core::Clock& clock) {
    if (auto stored = defaults.dateValue(kWatermarkKey)) return *stored;
    auto now = clock.now();
    defaults.setDate(kWatermarkKey, now);
    core::log("capture retry", "watermark set to {} — captures older than this are never retried",
              core::formatIso8601Local(now));
    return now;
}

bool CaptureRetry::isRetryable(const InboxWriter::Frontmatter& note) {
    auto status = note.wlJobStatus.value_or("skipped");
    if (retryableStates().count(status)) return true;
    // "completed" without "done": the transcript could not be fetched.
    if (status == "completed") return true;
    return status == "queued" && (!note.externalId || note.externalId->empty());
}

std::vector<std::string> CaptureRetry::pendingIds() {
    auto inbox = pipeline_.inbox();
    // Dates are stored to the second: compare at that precision.
    auto watermark = std::chrono::floor<std::chrono::seconds>(retryWatermark(defaults_, clock_));
    const auto seen = pipeline_.firstSeenById();
    std::vector<std::string> ids;
    for (auto& [id, note] : inbox.readableNotes()) {
        std::error_code ec;
        // Measured from when sayloft first saw the file, not from the date in its name.
        auto when = note.created;
        if (auto it = seen.find(id); it != seen.end()) when = std::max(when, it->second);
        if (isRetryable(note) && when >= watermark && fs::exists(inbox.audioPath(id), ec))
            ids.push_back(id);
    }
    return ids;
}

void CaptureRetry::run(const std::function<void(const Progress&)>& progress, std::stop_token stop) {
    running_ = true;
    Progress p;
    p.kind = Progress::Kind::scanning;
    progress(p);
    auto ids = pendingIds();
    p.total = int(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        if (stop.stop_requested()) break;
        if (i > 0 && !clock_.sleepFor(core::seconds(kGapBetweenUploads), stop)) break;
        p.kind = Progress::Kind::uploading;
        p.done = int(i);
        p.currentId = ids[i];
        progress(p);
        switch (pipeline_.uploadExisting(ids[i], std::nullopt, "capture retry")) {
            case CapturePipeline::UploadOutcome::uploaded:
                ++p.uploaded;
                break;
            case CapturePipeline::UploadOutcome::alreadyHandled:
                core::log("capture retry", "{} is already being handled; skipping", ids[i]);
                ++p.skipped;
                break;
            case CapturePipeline::UploadOutcome::noLocalAudio:
                core::log("capture retry", "no local audio for {}; skipping", ids[i]);
                ++p.skipped;
                break;
            case CapturePipeline::UploadOutcome::failed:
                ++p.failed;
                break;
        }
    }
    p.kind = Progress::Kind::finished;
    p.done = p.total;
    progress(p);
    running_ = false;
}

// ---------------------------------------------------------------------------------------------
// Back-fill

std::string BackfillSync::Progress::text() const {
    switch (kind) {
        case Kind::listing:
            return "Listing your Wendrel sources…";
        case Kind::syncing:
            return fmt::format("{} of {} synced\nCurrent: {}", done, total, currentTitle);
        case Kind::finished:
            if (total == 0 && failed == 0)
                return "Nothing to sync — your vault is already up to date.";
            return fmt::format("Done.\nSynced: {}\nAlready in vault (skipped): {}\nFailed: {}",
                               synced, skipped, failed);
        case Kind::failed:
            return "Sync failed\n" + error;
    }
    return "";
}

BackfillSync::BackfillSync(service::WendrelClient& client, InboxWriter inbox, core::Clock& clock)
    : client_(client), inbox_(std::move(inbox)), clock_(clock) {}

std::set<std::string> BackfillSync::readExistingExternalIDs() const {
    std::set<std::string> ids;
    for (auto& [id, note] : inbox_.readableNotes())
        if (note.externalId && !note.externalId->empty()) ids.insert(*note.externalId);
    return ids;
}

std::string BackfillSync::uniqueID(const std::string& id) const {
    std::error_code ec;
    if (!fs::exists(inbox_.notePath(id), ec)) return id;
    for (int n = 2;; ++n) {
        auto candidate = id + "_" + std::to_string(n);
        if (!fs::exists(inbox_.notePath(candidate), ec)) return candidate;
    }
}

std::string BackfillSync::writeBackfilledItem(const service::SourceDetail& detail,
                                              const service::SourceMetadata& metadata) {
    core::TimePoint date = clock_.now();
    auto fromSeconds = [](double s) {
        return core::TimePoint{
            std::chrono::duration_cast<core::Duration>(std::chrono::duration<double>(s))};
    };
    if (metadata.created_at) {
        date = fromSeconds(*metadata.created_at);
    } else if (metadata.timestamp) {
        date = fromSeconds(*metadata.timestamp);
    }
    const auto id = uniqueID(FilenameNormaliser::canonicalId(date));
    auto note = captureStub(id, date);
    note.sourceOrigin = "wendrel_backfill";
    note.externalId = metadata.cache_key;
    note.wlJobStatus = "done";
    note.targetSkill.reset();
    auto title = detail.result.llm_title ? detail.result.llm_title : metadata.llm_title;
    if (title && !title->empty()) note.title = singleLine(*title);
    auto text = detail.result.text.value_or("");
    inbox_.ensureDirectories();
    inbox_.writeMarkdown(note, text.empty() ? "(no transcript content available)" : text);
    return id;
}

void BackfillSync::run(const std::function<void(const Progress&)>& progress, std::stop_token stop) {
    Progress p;
    p.kind = Progress::Kind::listing;
    progress(p);
    std::vector<service::SourceMetadata> remote;
    try {
        remote = client_.listAllSources(false, stop);
    } catch (const std::exception& e) {
        core::log("BackfillSync", "listAllSources failed: {}", e.what());
        p.kind = Progress::Kind::failed;
        p.error = e.what();
        progress(p);
        return;
    }
    auto existing = readExistingExternalIDs();
    std::vector<service::SourceMetadata> toFetch;
    for (auto& s : remote)
        if (!existing.count(s.cache_key)) toFetch.push_back(s);
    const int alreadyLocal = int(remote.size() - toFetch.size());
    core::log("BackfillSync", "total_remote={} already_local={} to_fetch={}", remote.size(),
              alreadyLocal, toFetch.size());
    p.total = int(toFetch.size());
    p.skipped = alreadyLocal;
    for (size_t i = 0; i < toFetch.size(); ++i) {
        if (stop.stop_requested()) {
            core::log("BackfillSync", "cancelled at {}/{}", i, toFetch.size());
            break;
        }
        p.kind = Progress::Kind::syncing;
        p.done = int(i);
        p.currentTitle = singleLine(toFetch[i].llm_title.value_or(toFetch[i].cache_key));
        progress(p);
        try {
            auto detail = client_.source(toFetch[i].cache_key, stop);
            writeBackfilledItem(detail, toFetch[i]);
            ++p.synced;
        } catch (const std::exception& e) {
            core::log("BackfillSync", "failed cache_key={} err={}", toFetch[i].cache_key, e.what());
            ++p.failed;
        }
    }
    p.kind = Progress::Kind::finished;
    p.done = p.synced + p.failed;
    progress(p);
}

}  // namespace sayloft::capture
