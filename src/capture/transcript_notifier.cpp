#include "capture/transcript_notifier.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "core/log.hpp"
#include "core/places.hpp"
#include "core/time_format.hpp"

namespace sayloft::capture {

namespace fs = std::filesystem;
using platform::Notification;

namespace {
constexpr const char* kArea = "notifications";

std::string percentEncode(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += char(c);
        } else {
            out += fmt::format("%{:02X}", c);
        }
    }
    return out;
}

void erase(std::vector<TranscriptNotifier::Item>& list, const std::string& id) {
    std::erase_if(list, [&](const TranscriptNotifier::Item& i) { return i.id == id; });
}
}  // namespace

TranscriptNotifier::TranscriptNotifier(Dependencies deps) : deps_(std::move(deps)) {}

TranscriptNotifier::~TranscriptNotifier() {
    if (flushTimer_) flushTimer_->cancel();
}

void TranscriptNotifier::install(CapturePipeline& pipeline) {
    pipeline.setOnCaptureEvent(
        [this](const CaptureEvent& event) { deps_.main.async([this, event] { receive(event); }); });
    deps_.notifications.setActivationHandler(
        [this](const Notification& n) { deps_.main.async([this, n] { handleClick(n); }); });
}

TranscriptNotifier::Item TranscriptNotifier::itemFor(const CaptureEvent& event) const {
    Item item;
    item.id = event.id;
    item.status = event.kind == CaptureEvent::Kind::sent ? "sent" : event.status;
    try {
        auto lock = deps_.settings.lock();
        vault::InboxWriter inbox(deps_.settings.settings().vaultPath, deps_.clock);
        lock.unlock();
        auto note = inbox.readFrontmatter(inbox.notePath(event.id));
        if (note.title && !note.title->empty()) item.title = note.title;
        item.classification = note.classification;
        item.durationSec = note.audioDurationSec;
        item.created = note.created;
        if (event.kind == CaptureEvent::Kind::sent && note.wlJobStatus == "done")
            item.status = "done";  // the transcript overtook the sending notice
    } catch (const std::exception&) {
    }
    return item;
}

void TranscriptNotifier::receive(const CaptureEvent& event) {
    const auto& s = deps_.settings.settings();
    bool on = true;
    switch (event.kind) {
        case CaptureEvent::Kind::sent:
            on = s.notifyVoiceMemoSent.value_or(true);
            break;
        case CaptureEvent::Kind::transcriptReady:
            on = s.notifyTranscriptReady.value_or(true);
            break;
        case CaptureEvent::Kind::failed:
            on = s.notifyTranscriptFailed.value_or(true);
            break;
    }
    if (!on) return;
    Item item = itemFor(event);
    std::vector<Item>* list = nullptr;
    switch (event.kind) {
        case CaptureEvent::Kind::sent:
            if (item.status == "done") return;
            list = &sent_;
            break;
        case CaptureEvent::Kind::transcriptReady:
            erase(sent_, event.id);
            list = &ready_;
            break;
        case CaptureEvent::Kind::failed:
            erase(sent_, event.id);
            list = &failed_;
            break;
    }
    auto existing =
        std::find_if(list->begin(), list->end(), [&](auto& i) { return i.id == item.id; });
    if (existing != list->end()) {
        *existing = item;
    } else {
        list->push_back(item);
    }
    scheduleFlush();
}

void TranscriptNotifier::scheduleFlush() {
    auto now = deps_.clock.now();
    if (!firstEventAt_) firstEventAt_ = now;
    if (flushTimer_) flushTimer_->cancel();
    double delay =
        std::max(0.0, std::min(kSettleDelay, kMaxDelay - core::toSeconds(now - *firstEventAt_)));
    flushTimer_ = deps_.clock.startTimer(core::seconds(delay), core::Duration::zero(),
                                         [this] { deps_.main.async([this] { flush(); }); });
}

std::string TranscriptNotifier::describe(const Item& item) {
    std::string kind = item.classification == "meeting_recording" ? "Meeting recording"
                       : item.classification == "voice_memo"      ? "Voice memo"
                                                                  : "Audio";
    if (item.durationSec && *item.durationSec >= 1) {
        auto d = *item.durationSec;
        if (d < 60) {
            kind += fmt::format(" · {} s", d);
        } else {
            kind += fmt::format(" · {} min", int64_t(std::round(double(d) / 60.0)));
        }
    }
    return kind;
}

std::string TranscriptNotifier::reason(const std::string& status) {
    if (status == "upload_failed") return "the upload failed";
    if (status == "poll_timeout") return "Wendrel did not finish it in time";
    return "Wendrel could not transcribe it";
}

std::string TranscriptNotifier::obsidianLink(const std::string& vaultName,
                                             const std::string& file) {
    return "obsidian://open?vault=" + percentEncode(vaultName) + "&file=" + percentEncode(file);
}

std::map<std::string, std::string> TranscriptNotifier::openInfo(const std::string& id) const {
    fs::path vault;
    {
        auto lock = deps_.settings.lock();
        vault = core::expandTilde(deps_.settings.settings().vaultPath);
    }
    const std::string relative = "_inbox/" + id + ".md";
    std::map<std::string, std::string> info{{"filePath", (vault / relative).string()}};
    std::error_code ec;
    if (fs::exists(vault / ".obsidian", ec)) {
        auto name = vault.filename().empty() ? vault.parent_path().filename() : vault.filename();
        info["obsidianLink"] = obsidianLink(name.string(), relative);
    }
    return info;
}

std::string TranscriptNotifier::recordedWhen(core::TimePoint created) const {
    auto now = deps_.clock.now();
    auto day = [](core::TimePoint t) { return core::formatLocal(t, "yyyy-MM-dd"); };
    std::string label;
    if (day(created) == day(now)) {
        label = "today";
    } else if (day(created) == day(now - std::chrono::hours(24))) {
        label = "yesterday";
    } else {
        label = "on " + day(created);
    }
    return label + " at " + core::formatLocal(created, "HH:mm");
}

void TranscriptNotifier::flush() {
    if (flushTimer_) flushTimer_->cancel();
    flushTimer_.reset();
    firstEventAt_.reset();
    auto sent = std::move(sent_), ready = std::move(ready_), failed = std::move(failed_);
    sent_.clear(), ready_.clear(), failed_.clear();
    std::string inboxDir;
    {
        auto lock = deps_.settings.lock();
        inboxDir =
            (fs::path(core::expandTilde(deps_.settings.settings().vaultPath)) / "_inbox").string();
    }

    if (sent.size() == 1) {
        auto& i = sent[0];
        std::string body = describe(i);
        if (i.created) body += " recorded " + recordedWhen(*i.created);
        body += "\nThe transcript follows in a few minutes.";
        post({"sayloft.transcript." + i.id, "Sending to Wendrel", body, openInfo(i.id)});
    } else if (sent.size() > 1) {
        post({"sayloft.sent.batch",
              fmt::format("Sending {} voice memos to Wendrel", sent.size()),
              "The transcripts follow over the next minutes.",
              {{"filePath", inboxDir}}});
    }

    if (ready.size() == 1) {
        auto& i = ready[0];
        post({"sayloft.transcript." + i.id, "Transcript ready",
              i.title.value_or("") + "\n" + describe(i), openInfo(i.id)});
    } else if (ready.size() > 1) {
        std::string names;
        size_t shown = 0;
        for (auto it = ready.rbegin(); it != ready.rend() && shown < 3; ++it, ++shown)
            names += (shown ? "; " : "") + it->title.value_or(it->id);
        if (ready.size() > 3) names += fmt::format(" and {} more", ready.size() - 3);
        post({"sayloft.transcripts.batch",
              fmt::format("{} transcripts ready", ready.size()),
              names,
              {{"filePath", inboxDir}}});
    }

    if (failed.size() == 1) {
        auto& i = failed[0];
        Item kindOnly;  // the kind without the duration
        kindOnly.classification = i.classification;
        auto kind = describe(kindOnly);
        post({"sayloft.transcript.failed." + i.id, "Transcript failed",
              i.title.value_or(i.id) + " (" + kind + "): " + reason(i.status) +
                  ". Send it again with `sayloft retry`.",
              openInfo(i.id)});
    } else if (failed.size() > 1) {
        post({"sayloft.transcripts.failed.batch",
              fmt::format("{} transcripts failed", failed.size()),
              fmt::format("{} for {} captures. Send them again with `sayloft retry`.",
                          reason(failed[0].status), failed.size()),
              {{"filePath", inboxDir}}});
    }
}

void TranscriptNotifier::recordingNotSent(const std::string& id, const std::string& message) {
    post({"sayloft.recording.notsent." + id, "Recording not sent", message, {}});
}

void TranscriptNotifier::sendTest() {
    post({"sayloft.test",
          "Transcript ready",
          "This is a test notification from sayloft.\nMeeting recording · 42 min",
          {}});
}

void TranscriptNotifier::post(const Notification& notification) {
    auto& n = deps_.notifications;
    auto deliver = [&n, notification] {
        auto result = n.post(notification);
        if (result.outcome == platform::PostResult::Outcome::off) {
            core::log(kArea, "off for sayloft; not posting {}", notification.identifier);
        } else if (!result.posted()) {
            core::log(kArea, "could not post {}: {}", notification.identifier, result.error);
        }
    };
    switch (n.authorizationStatus()) {
        case platform::AuthorizationStatus::denied:
            core::log(kArea, "off for sayloft; not posting {}", notification.identifier);
            return;
        case platform::AuthorizationStatus::notDetermined:
            n.requestAuthorization([deliver](bool granted) {
                core::log(kArea, "permission {}", granted ? "granted" : "denied");
                if (granted) deliver();
            });
            return;
        case platform::AuthorizationStatus::authorized:
            deliver();
            return;
    }
}

std::string TranscriptNotifier::clickTarget(const std::map<std::string, std::string>& info) const {
    if (auto link = info.find("obsidianLink"); link != info.end()) {
        if (deps_.hasSchemeHandler && deps_.hasSchemeHandler("obsidian")) return link->second;
    }
    if (auto file = info.find("filePath"); file != info.end()) return file->second;
    return "";
}

void TranscriptNotifier::handleClick(const Notification& notification) {
    auto target = clickTarget(notification.userInfo);
    if (!target.empty() && deps_.open) deps_.open(target);
}

}  // namespace sayloft::capture
