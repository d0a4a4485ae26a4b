#include "capture/capture_pipeline.hpp"

#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "capture/capture_retry.hpp"
#include "core/log.hpp"
#include "core/time_format.hpp"
#include "platform/notify_once.hpp"
#include "service/client_error.hpp"
#include "service/wendrel_client.hpp"

namespace sayloft::capture {

namespace fs = std::filesystem;
using vault::InboxWriter;
using Frontmatter = InboxWriter::Frontmatter;

namespace {

constexpr const char* kArea = "capture pipeline";

bool isRecordingOrigin(const std::optional<std::string>& origin) {
    return origin && (*origin == "sayloft_recorder" || *origin == "fennick_recorder");
}

// The wait before the next status poll, growing with the time since polling began.
double pollWait(double elapsed) {
    if (elapsed < 60) return 5;
    if (elapsed < 600) return 30;
    if (elapsed < 3600) return 120;
    return 300;
}

}  // namespace

std::string singleLine(const std::string& text) {
    std::string out = text;
    for (auto& c : out)
        if (c == '\n' || c == '\r') c = ' ';
    return out;
}

const std::set<std::string>& CapturePipeline::resumableStates() {
    static const std::set<std::string> states = {"queued",    "pending",       "processing",
                                                 "completed", "upload_failed", "poll_timeout"};
    return states;
}

CapturePipeline::CapturePipeline(Dependencies deps) : deps_(deps) {}

CapturePipeline::~CapturePipeline() {
    shutdown();
}

InboxWriter CapturePipeline::inbox() const {
    auto lock = deps_.settings.lock();
    return InboxWriter(deps_.settings.settings().vaultPath, deps_.clock);
}

bool CapturePipeline::uploadEnabled() const {
    auto lock = deps_.settings.lock();
    return deps_.settings.settings().captureWendrelEnabled.value_or(false);
}

std::unique_ptr<service::WendrelClient> CapturePipeline::client() const {
    auto base = service::resolveBaseURL(deps_.settings.wendrelBaseURL().value_or(""));
    return std::make_unique<service::WendrelClient>(base, deps_.keychain, deps_.clock);
}

void CapturePipeline::setOnCaptureEvent(std::function<void(const CaptureEvent&)> callback) {
    std::lock_guard lock(callbackMutex_);
    onCaptureEvent_ = std::move(callback);
}

void CapturePipeline::emit(const CaptureEvent& event) {
    std::function<void(const CaptureEvent&)> callback;
    {
        std::lock_guard lock(callbackMutex_);
        callback = onCaptureEvent_;
    }
    if (callback) callback(event);
}

bool CapturePipeline::claim(const std::string& id) {
    std::lock_guard lock(claimLock_);
    return claimed_.insert(id).second;
}

void CapturePipeline::release(const std::string& id) {
    std::lock_guard lock(claimLock_);
    claimed_.erase(id);
}

// ---------------------------------------------------------------------------------------------
// Tasks

void CapturePipeline::spawn(std::function<void(std::stop_token)> work) {
    std::lock_guard lock(tasksMutex_);
    if (shuttingDown_) return;
    std::erase_if(tasks_, [](const std::unique_ptr<Task>& t) { return t->done.load(); });
    auto task = std::make_unique<Task>();
    Task* raw = task.get();
    raw->thread = std::jthread([this, raw, work = std::move(work)](std::stop_token stop) {
        try {
            work(stop);
        } catch (const std::exception& e) {
            core::log(kArea, "capture task ended by an unexpected error: {}", e.what());
        }
        std::lock_guard lock(tasksMutex_);
        raw->done = true;
        tasksChanged_.notify_all();
    });
    tasks_.push_back(std::move(task));
}

void CapturePipeline::waitUntilIdle() {
    std::unique_lock lock(tasksMutex_);
    tasksChanged_.wait(lock, [this] {
        return std::all_of(tasks_.begin(), tasks_.end(), [](auto& t) { return t->done.load(); });
    });
}

bool CapturePipeline::isIdle() {
    std::lock_guard lock(tasksMutex_);
    return std::all_of(tasks_.begin(), tasks_.end(), [](auto& t) { return t->done.load(); });
}

void CapturePipeline::shutdown() {
    std::list<std::unique_ptr<Task>> tasks;
    {
        std::lock_guard lock(tasksMutex_);
        shuttingDown_ = true;
        for (auto& t : tasks_) t->thread.request_stop();
        tasks.swap(tasks_);
    }
    tasks.clear();  // joins
}

// ---------------------------------------------------------------------------------------------
// Start and stop

CaptureStateStore* CapturePipeline::store() const {
    if (deps_.store) return deps_.store;
    return deps_.coordinator ? &deps_.coordinator->store() : nullptr;
}

void CapturePipeline::settle(const FolderWatcher::NewCapture& capture, const char* outcome,
                             const std::string& error) {
    auto* s = store();
    if (!capture.claimed || !s) return;
    const std::string name = capture.sourceURL.filename().string();
    const std::string what = outcome;
    if (what == "captured") {
        s->captured(name, capture.folderId);
    } else if (what == "failed") {
        double delay = s->captureFailed(name, capture.folderId, error);
        core::log(kArea, "{} stays pending; trying again in {:.0f}s", capture.canonicalId, delay);
    } else if (what == "dropped") {
        s->dropPending(name, capture.folderId);
    } else {
        s->release(name, capture.folderId);
    }
}

void CapturePipeline::removeStaleTemporaries() {
    auto writer = inbox();
    for (const fs::path& dir : {writer.inboxDir(), writer.audioDir()}) {
        std::error_code ec;
        for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (!name.starts_with(".") || !name.ends_with(".tmp")) continue;
            // ".<name>.<pid>.<n>.tmp": left alone while the process that writes it lives.
            auto body = name.substr(0, name.size() - 4);
            auto lastDot = body.rfind('.');
            auto pidDot = lastDot == std::string::npos ? lastDot : body.rfind('.', lastDot - 1);
            if (pidDot == std::string::npos) continue;
            long pid = std::strtol(body.c_str() + pidDot + 1, nullptr, 10);
            if (pid <= 0 || (pid != long(::getpid()) && ::kill(pid_t(pid), 0) == 0)) continue;
            std::error_code rm;
            if (fs::remove(it->path(), rm))
                core::log(kArea, "removed a partial file left by an interrupted write: {}",
                          printableName(name));
        }
    }
}

void CapturePipeline::start() {
    if (auto problem = deps_.settings.damage()) {
        // Capturing now would file recordings into the built-in vault: wait for the user.
        core::log(kArea, "not capturing: the settings file cannot be used ({})", *problem);
        return;
    }
    removeStaleTemporaries();
    if (deps_.coordinator) {
        deps_.coordinator->setOnNewCapture(
            [this](const FolderWatcher::NewCapture& capture) { handle(capture); });
        deps_.coordinator->setIdFilter([this](const std::string& id) { return idUsable(id); });
        deps_.coordinator->start();
    }
    core::log(kArea, "started");
    if (uploadEnabled() && deps_.keychain.hasDeviceToken()) {
        if (pairingRefused(deps_.defaults, deps_.keychain))
            core::log(kArea, "this computer's pairing was refused; resuming after `sayloft pair`");
        else
            spawn([this](std::stop_token) { resumeUnfinished(); });
    }
}

void CapturePipeline::stop() {
    if (deps_.coordinator) deps_.coordinator->stop();
    core::log(kArea, "stopped");
}

void CapturePipeline::handle(const FolderWatcher::NewCapture& capture) {
    spawn([this, capture](std::stop_token stop) { handleCapture(capture, stop); });
}

// ---------------------------------------------------------------------------------------------
// One new capture

std::string CapturePipeline::resolveCollision(const std::string& id) {
    auto writer = inbox();
    auto origin = [&](const std::string& candidate) -> std::optional<std::string> {
        try {
            return writer.readFrontmatter(writer.notePath(candidate)).sourceOrigin;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    };
    if (!isRecordingOrigin(origin(id))) return id;
    for (int n = 2; n <= 999; ++n) {
        auto candidate = id + "_" + std::to_string(n);
        if (!isRecordingOrigin(origin(candidate))) return candidate;
    }
    auto fallback = id + "_" + service::makeUuid().substr(0, 8);
    core::log("capture", "collision resolver hit 1000 attempts on {}, fallback={}", id, fallback);
    return fallback;
}

bool CapturePipeline::idUsable(const std::string& id) {
    auto writer = inbox();
    try {
        return !isRecordingOrigin(writer.readFrontmatter(writer.notePath(id)).sourceOrigin);
    } catch (const std::exception&) {
        return true;
    }
}

Frontmatter captureStub(const std::string& id, core::TimePoint created) {
    // The note's own defaults are the capture defaults (voice memo, pending, high confidence,
    // audio, "/transcript"); a capture adds its id, date and audio path.
    Frontmatter note;
    note.id = id;
    note.created = created;
    note.audioPath = InboxWriter::relativeAudioPath(id);
    return note;
}

Frontmatter CapturePipeline::stubFor(const std::string& id) const {
    return captureStub(id, deps_.clock.now());
}

void CapturePipeline::handleCapture(const FolderWatcher::NewCapture& capture,
                                    std::stop_token stop) {
    // A claimed capture's id was settled when it was claimed (same-second files get _2, _3 ...).
    const std::string id =
        capture.claimed ? capture.canonicalId : resolveCollision(capture.canonicalId);
    if (id != capture.canonicalId) {
        core::log(kArea, "{} is a recording's id; capturing {} as {}", capture.canonicalId,
                  printableName(capture.sourceURL.filename().string()), id);
    }
    auto writer = inbox();
    std::optional<Frontmatter> existing;
    try {
        existing = writer.readFrontmatter(writer.notePath(id));
    } catch (const std::exception&) {
        // no note yet, or one that cannot be read: it is written anew below
    }
    if (existing && existing->wlJobStatus == "done") {
        core::log(kArea, "{} already has its transcript; skipping", id);
        settle(capture, "captured");
        return;
    }
    if (!claim(id)) {
        core::log(kArea, "{} is already being handled; skipping", id);
        // A durable stub means the capture reached its note; whoever holds it carries it on.
        settle(capture, existing && existing->wlJobStatus ? "captured" : "released");
        return;
    }
    struct Release {
        CapturePipeline* self;
        std::string id;
        ~Release() { self->release(id); }
    } release{this, id};

    std::error_code ec;
    const bool sourceThere = fs::exists(capture.sourceURL, ec);
    try {
        writer.ensureDirectories();
        if (sourceThere) {
            writer.copyAudio(capture.sourceURL, id);
        } else if (!fs::exists(writer.audioPath(id), ec)) {
            // Claimed, but gone from the folder before it was copied: nothing left to capture.
            core::log(kArea, "{} is gone from its folder before it was copied; forgetting it",
                      printableName(capture.sourceURL.filename().string()));
            settle(capture, "dropped");
            return;
        }
    } catch (const std::exception& e) {
        core::log(kArea, "copyAudio failed for {}: {}", id, e.what());
        settle(capture, "failed", fmt::format("copyAudio failed: {}", e.what()));
        return;
    }

    const bool upload = uploadEnabled();
    if (existing && existing->wlJobStatus) {
        // The stub was written before an interruption: carry on from what the note says.
        settle(capture, "captured");
        if (!upload) return;
        auto status = *existing->wlJobStatus;
        if (!resumableStates().count(status)) return;
        if (existing->externalId && !existing->externalId->empty() && status != "upload_failed") {
            core::log(kArea, "{} resumed (polling {})", id, *existing->externalId);
            pollUntilDone(id, *existing->externalId, stop);
            return;
        }
        auto note = *existing;
        note.id = id;
        if (auto key = this->upload(id, uploadProfile(note), kArea, stop))
            pollUntilDone(id, *key, stop);
        return;
    }

    std::optional<settings::WatchedFolder> folder;
    for (auto& f : deps_.settings.watchedFolders())
        if (f.id == capture.folderId) folder = f;
    const bool voiceMemos =
        folder && folder->normaliser == settings::WatchedFolder::Normaliser::voiceMemos;
    Frontmatter stub = stubFor(id);
    stub.created = capture.timestamp;
    stub.classification = voiceMemos ? "voice_memo" : "audio_capture";
    stub.sourceOrigin = voiceMemos ? "voice_memo"
                        : folder   ? "watched_folder:" + capture.folderId
                                   : "watched_folder";
    stub.wlJobStatus = upload ? "queued" : "skipped";
    try {
        writer.writeMarkdown(stub, "", true);
    } catch (const std::exception& e) {
        core::log(kArea, "writeStub failed for {}: {}", id, e.what());
        settle(capture, "failed", fmt::format("writeStub failed: {}", e.what()));
        return;
    }
    settle(capture, "captured");
    if (!upload) {
        core::log(kArea, "WL upload disabled; {} remains pending in vault", id);
        return;
    }
    // The source may have been rewritten since it was copied: the upload takes what it is now.
    if (sourceThere) {
        try {
            if (writer.refreshAudio(capture.sourceURL, id))
                core::log(kArea, "{} changed after it was copied; copied again", id);
        } catch (const std::exception& e) {
            core::log(kArea, "copying {} again failed: {}", id, e.what());
        }
    }
    UploadProfile profile{"voice_memo", {"voice-memo", "sayloft-mac"}, {{"sayloft_id", id}}};
    auto key = this->upload(id, profile, kArea, stop);
    if (key) pollUntilDone(id, *key, stop);
}

// ---------------------------------------------------------------------------------------------
// Upload and key

std::optional<std::string> CapturePipeline::upload(const std::string& id,
                                                   const UploadProfile& profile,
                                                   const std::string& area, std::stop_token stop) {
    auto writer = inbox();
    service::UploadResult result;
    try {
        result = client()->uploadAudio(writer.audioPath(id), profile.contentSource, std::nullopt,
                                       profile.tags, profile.metadata, stop);
    } catch (const std::exception& e) {
        if (stop.stop_requested()) return std::nullopt;  // shutting down: resumed next start
        core::log(area, "upload failed for {}: {}", id, e.what());
        refused(e);
        fail(id, "upload_failed");
        return std::nullopt;
    }
    auto key = resolveKey(id, result, stop);
    if (!key) {
        if (stop.stop_requested()) return std::nullopt;
        fail(id, "upload_failed");
        return std::nullopt;
    }
    try {
        auto path = writer.notePath(id);
        auto note = writer.readFrontmatter(path);
        auto body = writer.readBody(path);
        note.externalId = *key;
        note.uploadedAt = deps_.clock.now();
        note.wlJobStatus = "queued";
        if ((!note.title || note.title->empty()) && result.title && !result.title->empty())
            note.title = singleLine(*result.title);
        writer.writeMarkdown(note, body);
    } catch (const std::exception&) {
        // an unreadable note is left alone
    }
    if (result.status == "duplicate_upload") {
        core::log(area, "{} already in WL library; cache_key={} ({})", id, *key,
                  singleLine(result.message.value_or("")));
    } else {
        core::log(area, "{} uploaded; cache_key={}", id, *key);
    }
    emit({CaptureEvent::Kind::sent, id, "sent"});
    return key;
}

std::optional<std::string> CapturePipeline::resolveKey(const std::string& id,
                                                       const service::UploadResult& result,
                                                       std::stop_token stop) {
    auto key = resolveKeyFrom(id, result, stop);
    // A key goes into the note's frontmatter: one that would break its line is no key at all.
    if (key && key->find_first_of("\r\n") != std::string::npos) {
        core::log(kArea, "the service named {} by a key that is not one line; ignoring it", id);
        return std::nullopt;
    }
    return key;
}

std::optional<std::string> CapturePipeline::resolveKeyFrom(const std::string& id,
                                                           const service::UploadResult& result,
                                                           std::stop_token stop) {
    if (result.cache_key && !result.cache_key->empty()) return result.cache_key;
    if (!result.task_id || result.task_id->empty()) {
        core::log(kArea, "upload for {} returned neither cache_key nor task_id (status {})", id,
                  result.status);
        return std::nullopt;
    }
    if (result.status == "completed") return result.task_id;
    core::log(kArea, "{} queued as task {}; resolving its cache_key", id, *result.task_id);
    auto key = client()->cacheKey(*result.task_id, core::seconds(kCacheKeyTimeout), stop);
    if (!key && !stop.stop_requested())
        core::log(kArea, "no cache_key for task {} ({}) within 10 minutes", *result.task_id, id);
    return key;
}

namespace {
std::string tokenFingerprint(const std::string& token) {
    return fmt::format("{:016x}", settings::fnv1a64(token));
}
}  // namespace

bool CapturePipeline::pairingRefused(platform::UserDefaults& defaults,
                                     const service::Keychain& keychain) {
    auto token = keychain.deviceToken();
    return token &&
           defaults.boolValue(std::string(kRefusedTokenKey) + "." + tokenFingerprint(*token))
               .value_or(false);
}

std::string CapturePipeline::pairingRefusedLine(platform::UserDefaults& defaults,
                                                const service::Keychain& keychain) {
    if (!pairingRefused(defaults, keychain)) return "";
    return "Wendrel refused this computer's pairing: nothing is sent until you pair again "
           "(`sayloft pair`)";
}

bool CapturePipeline::refused(const std::exception& error) {
    auto* e = dynamic_cast<const service::ClientError*>(&error);
    if (!e || e->kind() != service::ClientError::Kind::requestFailed || e->status() != 401)
        return false;
    auto token = deps_.keychain.deviceToken();
    if (!token) return true;
    if (!pairingRefused(deps_.defaults, deps_.keychain)) {
        deps_.defaults.setBool(std::string(kRefusedTokenKey) + "." + tokenFingerprint(*token),
                               true);
        core::log(kArea,
                  "the service refused this computer's pairing (401); nothing is sent or "
                  "polled until it is paired again");
        if (deps_.notifications)
            platform::notifyOnce(deps_.defaults, *deps_.notifications, "pairing-refused",
                                 "Wendrel no longer accepts this computer",
                                 "Pair again with `sayloft pair` or the tray's Connect item. "
                                 "Recordings wait in the vault until then.");
    }
    return true;
}

void CapturePipeline::fail(const std::string& id, const std::string& status) {
    inbox().updateWLJobStatus(id, status);
    emit({CaptureEvent::Kind::failed, id, status});
}

UploadProfile CapturePipeline::uploadProfile(const Frontmatter& note) const {
    if (note.classification == "meeting_recording") {
        return {"meeting",
                {"meeting", "sayloft-mac"},
                {{"sayloft_id", note.id},
                 {"recorder_source", note.recorderSource.value_or("All audio")},
                 {"microphone", note.recorderMicrophone.value_or("")},
                 {"channel_layout",
                  note.recorderChannelLayout.value_or("L=system-left,R=system-right")},
                 {"meeting_started_at", core::formatIso8601Local(note.created)}}};
    }
    return {"voice_memo", {"voice-memo", "sayloft-mac"}, {{"sayloft_id", note.id}}};
}

// ---------------------------------------------------------------------------------------------
// Following a capture

void CapturePipeline::pollUntilDone(const std::string& id, std::string key, std::stop_token stop) {
    const auto start = deps_.clock.now();
    int notFound = 0;
    bool searched = false, askedDetail = false;
    auto writer = inbox();
    for (;;) {
        if (stop.stop_requested()) return;
        const double elapsed = core::toSeconds(deps_.clock.now() - start);
        if (elapsed >= kPollTimeout) {
            core::log(kArea, "polling timed out for {} (>{} min)", id, kPollTimeout / 60);
            fail(id, "poll_timeout");
            return;
        }
        try {
            auto status = client()->status(key, stop);
            std::string stage = "unknown";
            if (status.transcription && status.transcription->status)
                stage = singleLine(*status.transcription->status);
            writer.updateWLJobStatus(id, stage);
            if (stage == "completed") {
                fetchTranscript(id, key, stop);
                return;
            }
            if (stage == "failed") {
                core::log(kArea, "WL reported failed for {}", id);
                fail(id, "failed");
                return;
            }
            if (!askedDetail && key.starts_with("DOC_")) {
                askedDetail = true;
                try {
                    auto detail = client()->source(key, stop);
                    auto s = detail.result.status.value_or("");
                    if (s == "success" || s == "completed" || s == "done") {
                        core::log(kArea, "{} is done in WL (status {}, {} words)", id, s,
                                  detail.result.word_count.value_or(0));
                        fetchTranscript(id, key, stop);
                        return;
                    }
                } catch (const std::exception&) {
                    // the status polls go on
                }
            }
        } catch (const service::ClientError& e) {
            if (stop.stop_requested()) return;
            if (e.kind() == service::ClientError::Kind::requestFailed && e.status() == 404) {
                if (++notFound >= kMaxNotFoundPolls) {
                    std::optional<std::string> moved;
                    if (!searched) {
                        searched = true;
                        moved = findCurrentKey(id, key, stop);
                    }
                    if (moved) {
                        key = *moved;
                        notFound = 0;
                    } else {
                        if (stop.stop_requested()) return;
                        core::log(kArea, "WL has no document for {} (cache_key {}); giving up", id,
                                  key);
                        fail(id, "failed");
                        return;
                    }
                }
            } else if (refused(e)) {
                return;  // left as it is: resumed once paired again
            } else {
                core::log(kArea, "status poll error for {}: {}", id, e.what());
            }
        } catch (const std::exception& e) {
            if (stop.stop_requested()) return;
            core::log(kArea, "status poll error for {}: {}", id, e.what());
        }
        const double wait = pollWait(core::toSeconds(deps_.clock.now() - start));
        if (!deps_.clock.sleepFor(core::seconds(wait), stop)) return;
    }
}

std::optional<std::string> CapturePipeline::findCurrentKey(const std::string& id,
                                                           const std::string& deadKey,
                                                           std::stop_token stop) {
    auto writer = inbox();
    auto found = client()->currentKey(id + ".m4a", deadKey, 3, stop);
    if (found && found->find_first_of("\r\n") != std::string::npos) found.reset();
    if (found) {
        core::log(kArea, "{} found in the source list", id);
        core::log(kArea, "{} moved in WL: {} -> {}", id, deadKey, *found);
    } else {
        if (stop.stop_requested()) return std::nullopt;
        core::log(kArea, "{} not in the source list; uploading again to learn its key", id);
        Frontmatter note = stubFor(id);
        try {
            note = writer.readFrontmatter(writer.notePath(id));
        } catch (const std::exception&) {
        }
        try {
            auto profile = uploadProfile(note);
            auto result = client()->uploadAudio(writer.audioPath(id), profile.contentSource,
                                                std::nullopt, profile.tags, profile.metadata, stop);
            found = resolveKey(id, result, stop);
        } catch (const std::exception& e) {
            if (!stop.stop_requested()) core::log(kArea, "upload failed for {}: {}", id, e.what());
            return std::nullopt;
        }
        if (!found) return std::nullopt;
    }
    try {
        auto path = writer.notePath(id);
        auto note = writer.readFrontmatter(path);
        auto body = writer.readBody(path);
        note.externalId = *found;
        writer.writeMarkdown(note, body);
    } catch (const std::exception&) {
    }
    return found;
}

void CapturePipeline::fetchTranscript(const std::string& id, const std::string& key,
                                      std::stop_token stop) {
    service::SourceDetail detail;
    try {
        detail = client()->source(key, stop);
    } catch (const service::ClientError& e) {
        if (e.kind() == service::ClientError::Kind::planRequired) {
            core::log(kArea, "retrieval refused for {}: {}", id, e.what());
            fail(id, "failed");
        } else if (refused(e)) {
            return;
        } else {
            core::log(kArea, "fetch transcript failed for {}: {}", id, e.what());
        }
        return;
    } catch (const std::exception& e) {
        if (stop.stop_requested()) return;
        core::log(kArea, "fetch transcript failed for {}: {}", id, e.what());
        return;
    }
    auto writer = inbox();
    Frontmatter note;
    try {
        note = writer.readFrontmatter(writer.notePath(id));
    } catch (const std::exception&) {
        note = stubFor(id);
    }
    note.wlJobStatus = "done";
    note.externalId = key;
    if ((!note.title || note.title->empty()) && detail.result.llm_title &&
        !detail.result.llm_title->empty())
        note.title = singleLine(*detail.result.llm_title);
    // A number from the service enters the note only when it is a plausible duration.
    if (detail.result.duration && std::isfinite(*detail.result.duration) &&
        *detail.result.duration >= 0 && *detail.result.duration < 1e7)
        note.audioDurationSec = int64_t(*detail.result.duration);
    try {
        writer.writeMarkdown(note, detail.result.text.value_or(""));
    } catch (const std::exception& e) {
        core::log(kArea, "fetch transcript failed for {}: {}", id, e.what());
        return;
    }
    core::log(kArea, "transcript written for {} ({} words)", id,
              detail.result.word_count.value_or(0));
    if (deps_.afterTranscript) deps_.afterTranscript->transcriptWritten(id);
    emit({CaptureEvent::Kind::transcriptReady, id, "done"});
}

// ---------------------------------------------------------------------------------------------
// Existing notes

CapturePipeline::UploadOutcome CapturePipeline::uploadExisting(
    const std::string& id, const std::optional<UploadProfile>& given, const std::string& area) {
    auto writer = inbox();
    std::error_code ec;
    if (!fs::exists(writer.audioPath(id), ec)) return UploadOutcome::noLocalAudio;
    if (!claim(id)) return UploadOutcome::alreadyHandled;
    UploadProfile profile;
    if (given) {
        profile = *given;
    } else {
        Frontmatter note = stubFor(id);
        try {
            note = writer.readFrontmatter(writer.notePath(id));
        } catch (const std::exception&) {
        }
        note.id = id;
        profile = uploadProfile(note);
    }
    std::stop_source stop;
    auto key = upload(id, profile, area, stop.get_token());
    if (!key) {
        release(id);
        return UploadOutcome::failed;
    }
    spawn([this, id, key = *key](std::stop_token stop) {
        pollUntilDone(id, key, stop);
        release(id);
    });
    return UploadOutcome::uploaded;
}

std::map<std::string, core::TimePoint> CapturePipeline::firstSeenById() const {
    std::map<std::string, core::TimePoint> out;
    auto* s = store();
    if (!s) return out;
    auto state = s->snapshot();
    for (auto& [folder, files] : state.seenByFolder)
        for (auto& [name, e] : files)
            if (!e.canonicalId.empty())
                out[e.canonicalId] = std::max(out[e.canonicalId], e.firstSeen);
    for (auto& [folder, files] : state.pendingByFolder)
        for (auto& [name, e] : files) out[e.captureId] = std::max(out[e.captureId], e.firstSeen);
    return out;
}

int CapturePipeline::resumeUnfinished() {
    auto writer = inbox();
    const auto watermark = CaptureRetry::retryWatermark(deps_.defaults, deps_.clock);
    struct Item {
        std::string id;
        Frontmatter note;
    };
    std::vector<Item> items;
    const auto seen = firstSeenById();
    for (auto& [id, note] : writer.readableNotes()) {
        auto status = note.wlJobStatus.value_or("skipped");
        // The watermark is about when sayloft first saw a file, not the date in its name.
        auto when = note.created;
        if (auto it = seen.find(id); it != seen.end()) when = std::max(when, it->second);
        if (!resumableStates().count(status) || when < watermark) continue;
        std::error_code ec;
        if (fs::exists(writer.audioPath(id), ec)) items.push_back({id, note});
    }
    if (!items.empty()) core::log(kArea, "resuming {} unfinished capture(s)", items.size());
    for (auto& item : items) {
        if (!claim(item.id)) continue;
        spawn([this, item](std::stop_token stop) {
            auto status = item.note.wlJobStatus.value_or("skipped");
            if (item.note.externalId && !item.note.externalId->empty() &&
                status != "upload_failed") {
                core::log(kArea, "{} resumed (polling {})", item.id, *item.note.externalId);
                pollUntilDone(item.id, *item.note.externalId, stop);
            } else {
                core::log(kArea, "{} resumed (uploading again)", item.id);
                auto note = item.note;
                note.id = item.id;
                if (auto key = upload(item.id, uploadProfile(note), kArea, stop))
                    pollUntilDone(item.id, *key, stop);
            }
            release(item.id);
        });
    }
    return int(items.size());
}

}  // namespace sayloft::capture
