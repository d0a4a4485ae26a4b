#include "capture/capture_status.hpp"

#include <fmt/format.h>

#include "capture/capture_state_store.hpp"
#include "platform/notify_once.hpp"
#include "settings/settings.hpp"

#include "core/files.hpp"
#include "core/json.hpp"
#include "core/places.hpp"
#include "core/time_format.hpp"

namespace sayloft::capture {

namespace fs = std::filesystem;

CaptureStatus::CaptureStatus(std::function<std::string()> vault, core::Clock& clock,
                             core::MainQueue& main, fs::path heartbeatFile)
    : vault_(std::move(vault)),
      clock_(clock),
      main_(main),
      heartbeatFile_(std::move(heartbeatFile)) {}

CaptureStatus::~CaptureStatus() {
    stop();
    queue_.stop();
}

fs::path CaptureStatus::defaultHeartbeatPath() {
    return core::cacheDir() / "capture-status.json";
}

void CaptureStatus::start() {
    queue_.sync([this] {
        if (timer_) return;
        timer_ = clock_.startTimer(core::seconds(1), core::seconds(kRefreshInterval),
                                   [this] { queue_.async([this] { refresh(); }); });
    });
}

void CaptureStatus::stop() {
    queue_.sync([this] {
        if (timer_) timer_->cancel();
        timer_.reset();
    });
}

void CaptureStatus::setOnPublish(std::function<void(const Published&)> publish) {
    std::lock_guard lock(mutex_);
    onPublish_ = std::move(publish);
}

CaptureStatus::Published CaptureStatus::current() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void CaptureStatus::refreshNow() {
    queue_.sync([this] { refresh(); });
}

void CaptureStatus::recordPoll(int newCaptures) {
    {
        std::lock_guard lock(mutex_);
        state_.lastPoll = clock_.now();
        if (newCaptures > 0) state_.lastNewCapture = state_.lastPoll;
    }
    writeHeartbeat();
    publish();
}

void CaptureStatus::updateAccess(const CaptureAccess::State& state) {
    {
        std::lock_guard lock(mutex_);
        state_.access = state;
    }
    publish();
}

void CaptureStatus::refresh() {
    auto snapshot = scan(vault::InboxWriter(vault_(), clock_), clock_.now());
    {
        std::lock_guard lock(mutex_);
        if (state_.snapshot == snapshot) return;
        state_.snapshot = snapshot;
    }
    publish();
}

void CaptureStatus::publish() {
    std::function<void(const Published&)> callback;
    Published state;
    {
        std::lock_guard lock(mutex_);
        callback = onPublish_;
        state = state_;
    }
    if (callback) main_.async([callback, state] { callback(state); });
}

void CaptureStatus::writeHeartbeat() {
    core::Json j = core::Json::object();
    {
        std::lock_guard lock(mutex_);
        if (state_.lastPoll) j["lastPoll"] = core::formatIso8601Utc(*state_.lastPoll);
        if (state_.lastNewCapture)
            j["lastNewCapture"] = core::formatIso8601Utc(*state_.lastNewCapture);
    }
    try {
        core::writeAtomically(heartbeatFile_, core::dumpPretty(j));
    } catch (const std::exception&) {
        // the heartbeat is a convenience for `sayloft status`
    }
}

std::pair<std::optional<core::TimePoint>, std::optional<core::TimePoint>>
CaptureStatus::readHeartbeat(const fs::path& file) {
    auto text = core::readFile(file);
    if (!text) return {};
    auto j = core::Json::parse(*text, nullptr, false);
    if (!j.is_object()) return {};
    auto read = [&](const char* key) -> std::optional<core::TimePoint> {
        auto it = j.find(key);
        if (it == j.end() || !it->is_string()) return std::nullopt;
        return core::parseIso8601(it->get<std::string>());
    };
    return {read("lastPoll"), read("lastNewCapture")};
}

CaptureStatus::Snapshot CaptureStatus::scan(const vault::InboxWriter& inbox, core::TimePoint now) {
    Snapshot s;
    const std::string today = core::formatLocal(now, "yyyy-MM-dd");
    std::optional<core::TimePoint> newest;
    for (auto& [id, note] : inbox.readableNotes()) {
        auto status = note.wlJobStatus.value_or("");
        if (status == "done") {
            ++s.done;
        } else if (status == "processing") {
            ++s.processing;
        } else if (status == "upload_failed" || status == "failed" || status == "poll_timeout" ||
                   status == "paywalled") {
            ++s.failed;
        } else {
            ++s.pending;
        }
        if (core::formatLocal(note.created, "yyyy-MM-dd") == today && note.created <= now)
            ++s.totalToday;
        if (!newest || note.created > *newest) {
            newest = note.created;
            s.mostRecentTitle = note.title;
            s.mostRecentId = note.id.empty() ? id : note.id;
        }
    }
    return s;
}

std::string CaptureStatus::summary(const Snapshot& s) {
    std::string out;
    auto part = [&](int n, const char* what) {
        if (n >= 1) out += fmt::format("{}{} {}", out.empty() ? "" : ", ", n, what);
    };
    part(s.pending, "pending");
    part(s.processing, "processing");
    part(s.done, "done");
    part(s.failed, "failed");
    return out.empty() ? "Idle" : out;
}

std::string CaptureStatus::heartbeatLine(const std::optional<core::TimePoint>& lastPoll,
                                         const std::optional<core::TimePoint>& lastNewCapture,
                                         core::TimePoint now) {
    if (!lastPoll) return "";
    std::string line = "Checked " + core::formatLocal(*lastPoll, "HH:mm");
    if (!lastNewCapture) return line + " · nothing new since launch";
    auto day = [](core::TimePoint t) { return core::formatLocal(t, "yyyy-MM-dd"); };
    std::string label = day(*lastNewCapture) == day(now) ? "today"
                        : day(*lastNewCapture) == day(now - std::chrono::hours(24))
                            ? "yesterday"
                            : day(*lastNewCapture);
    return line + " · latest capture " + label + " " + core::formatLocal(*lastNewCapture, "HH:mm");
}

std::vector<std::string> notYetNotedLines(const std::vector<CaptureStateStore::Pending>& pending,
                                          core::TimePoint now) {
    std::vector<std::string> lines;
    for (auto& p : pending) {
        std::string line = fmt::format("Not yet noted: {} ({}) as {}", printableName(p.fileName),
                                       p.folderId, p.entry.captureId);
        if (p.entry.attempts > 0)
            line += fmt::format(" -- failed {} time{}: {}", p.entry.attempts,
                                p.entry.attempts == 1 ? "" : "s", printableName(p.entry.lastError));
        if (p.entry.nextTry && *p.entry.nextTry > now)
            line += fmt::format("; next try in {:.0f}s", core::toSeconds(*p.entry.nextTry - now));
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string settingsProblemLine(const settings::Settings& settings) {
    auto problem = settings.damage();
    if (!problem) return "";
    return fmt::format("Settings: {} cannot be used ({}); capture is paused until it is fixed",
                       settings.configPath().string(), *problem);
}

void notifySettingsProblemOnce(const settings::Settings& settings, platform::UserDefaults& defaults,
                               platform::Notifications& notifications) {
    const std::string id = "settings-damaged";
    auto problem = settings.damage();
    if (!problem) {
        defaults.remove(platform::notifiedKey(id));
        return;
    }
    platform::notifyOnce(defaults, notifications, id, "sayloft settings cannot be used",
                         fmt::format("{}: {}. Nothing is captured until it is fixed; the file is "
                                     "left as it is.",
                                     settings.configPath().string(), *problem));
}

}  // namespace sayloft::capture
