#include "recorder/recording_session.hpp"

#include <algorithm>
#include <cmath>
#include <future>

#include "core/error.hpp"
#include "core/log.hpp"
#include "core/time_format.hpp"
#include "platform/notifications.hpp"

namespace sayloft::recorder {

namespace fs = std::filesystem;
using core::Json;

namespace {

constexpr const char* kArea = "recorder";
constexpr float kHeardFloor = 0.000001f;

const char* kSpeakerLate =
    "The sound plays over the network or through a speaker with a long delay, later than echo "
    "cancellation can follow, so the microphone also hears the others. Use headphones or this "
    "computer's own speakers.";
const char* kSpeakerNoCancel =
    "The sound comes out of the speakers, so the microphone also hears the others. Use "
    "headphones, or turn on echo cancellation in the recording settings.";

bool isSpeakers(AudioOutputKind kind) {
    return kind == AudioOutputKind::builtInSpeakers || kind == AudioOutputKind::externalSpeakers;
}

std::string hhmm(core::TimePoint t) {
    return core::formatLocal(t, "HH:mm");
}

}  // namespace

std::string sourceText(const settings::RecordingSource& source) {
    return source.app ? source.app->name : "All audio";
}

const char* stateWord(RecordingState state) {
    switch (state) {
        case RecordingState::idle:
            return "idle";
        case RecordingState::starting:
            return "starting";
        case RecordingState::recording:
            return "recording";
        case RecordingState::paused:
            return "paused";
        case RecordingState::finishing:
            return "stopping";
        case RecordingState::failed:
            return "failed";
    }
    return "idle";
}

RecorderSettings recorderSettings(const settings::AppSettings& values) {
    RecorderSettings s;
    s.options.source = values.recordingSource.value_or(settings::RecordingSource{});
    s.options.includeMicrophone = values.recordingIncludeMicrophone.value_or(true);
    s.options.microphoneUID = values.recordingMicrophoneUID;
    auto mode = values.recordingEchoCancellation.value_or("automatic");
    s.echoMode = (mode == "on" || mode == "off") ? mode : "automatic";
    s.consentReminder = values.recordingConsentReminder.value_or(true);
    s.consentText = values.recordingConsentText;
    s.autoStopMinutes = values.recordingAutoStopMinutes;
    return s;
}

Json toJson(const RecordingStatus& s) {
    Json warnings = Json::array();
    for (auto& w : s.warnings) warnings.push_back(w.text);
    Json j{{"state", stateWord(s.state)},
           {"elapsed", s.elapsed},
           {"source", s.options.source.app ? s.options.source.app->bundleID : "all"},
           {"sourceName", sourceText(s.options.source)},
           {"micLevel", std::clamp(s.levels.micPeak, 0.0f, 1.0f)},
           {"systemLevel", std::clamp(s.levels.systemPeak, 0.0f, 1.0f)},
           {"warnings", warnings},
           {"echo", s.echoLine},
           {"echoCancellation", s.echoCancellationActive},
           {"outputKind", outputKindWord(s.outputKind)},
           {"pendingRecovery", s.pendingRecovery}};
    j["id"] = s.id ? Json(*s.id) : Json(nullptr);
    if (!s.options.includeMicrophone) {
        j["microphone"] = nullptr;
    } else {
        j["microphone"] =
            s.microphoneName ? *s.microphoneName : s.options.microphoneUID.value_or("default");
    }
    if (!s.failure.empty()) j["message"] = s.failure;
    if (s.consentReminder) j["consentReminder"] = *s.consentReminder;
    if (s.lastResult) j["lastResult"] = *s.lastResult;
    if (s.stoppedOnFailure) j["stoppedOnFailure"] = true;
    return j;
}

RecordingSession::RecordingSession(Dependencies deps)
    : deps_(std::move(deps)), alive_(std::make_shared<RecordingSession*>(this)) {
    settings_ = deps_.settings ? deps_.settings() : RecorderSettings{};
    options_ = settings_.options;
    if (deps_.sleep) {
        std::weak_ptr<RecordingSession*> weak = alive_;
        core::MainQueue* main = &deps_.main;
        deps_.sleep->setHandler([weak, main](bool goingToSleep) {
            // logind waits for the delay lock: close the segment before answering.
            if (goingToSleep) {
                std::promise<void> closed;
                auto future = closed.get_future();
                main->async([weak, &closed] {
                    if (auto s = weak.lock()) (*s)->willSleep();
                    closed.set_value();
                });
                future.wait_for(std::chrono::seconds(3));
                return;
            }
            main->async([weak] {
                if (auto s = weak.lock()) (*s)->didWake();
            });
        });
    }
}

RecordingSession::~RecordingSession() {
    if (deps_.sleep) deps_.sleep->setHandler({});
    stopTimers();
    worker_.stop();
    alive_.reset();
    if (graph_) graph_->stop();
    releaseSleep();
}

void RecordingSession::drainWorker() {
    worker_.drain();
}

std::string RecordingSession::warning() const {
    std::string joined;
    for (auto& w : warnings_) joined += (joined.empty() ? "" : " ") + w.text;
    return joined;
}

double RecordingSession::elapsedNow() const {
    double e = bankedElapsed_;
    if (runningSince_ && state_ == RecordingState::recording)
        e += core::toSeconds(deps_.clock.now() - *runningSince_);
    return e;
}

RecordingStatus RecordingSession::status() const {
    RecordingStatus s;
    s.state = state_;
    s.failure = state_ == RecordingState::failed ? failure_ : "";
    s.id = currentID_;
    s.elapsed = elapsed_;
    s.options = options_;
    if (graph_) s.microphoneName = graph_->microphoneName();
    s.levels = levels_;
    if (echoActive_ && (levels_.micPeak > 0 || levels_.systemPeak > 0))
        s.levels.micPeak = cleanMicPeak_;
    s.warnings = warnings_;
    s.outputKind = outputKind_;
    s.echoCancellationActive = echoActive_;
    if (echoActive_) {
        s.echoLine =
            isSpeakers(outputKind_) ? "Echo cancellation on (speakers)" : "Echo cancellation on";
    } else if (outputKind_ == AudioOutputKind::headphones) {
        s.echoLine = "Headphones: no echo";
    } else {
        for (auto& w : warnings_)
            if (w.kind == RecordingWarning::Kind::speakerEcho) s.echoLine = w.text;
    }
    if (isActive() && consentReminder_ && !(consentNotified_ && elapsed_ >= kConsentMenuSeconds))
        s.consentReminder = consentReminder_;
    s.lastResult = lastResult_;
    s.stoppedOnFailure = stoppedOnFailure_;
    for (auto& r : pendingRecovery_) s.pendingRecovery.push_back(r.id);
    return s;
}

void RecordingSession::changed() {
    if (onChange_) onChange_();
}

void RecordingSession::addWarning(RecordingWarning::Kind kind, const std::string& text) {
    for (auto& w : warnings_)
        if (w.text == text) return;
    warnings_.push_back({kind, text});
    changed();
}

void RecordingSession::removeWarnings(RecordingWarning::Kind kind) {
    std::erase_if(warnings_, [kind](const RecordingWarning& w) { return w.kind == kind; });
}

void RecordingSession::setLevels(const RecordingLevels& levels) {
    levels_ = levels;
}

// --- start ---------------------------------------------------------------------------------

bool RecordingSession::microphoneAllowed(RecordingOptions& options) {
    if (!options.includeMicrophone) return false;
    if (deps_.catalog && deps_.catalog->inputDevices().empty()) {
        core::log(kArea, "no input device; recording system audio only");
        options.includeMicrophone = false;
        return false;
    }
    return true;
}

void RecordingSession::start(const RecordingOptions& requested) {
    if (state_ != RecordingState::idle && state_ != RecordingState::failed) return;
    settings_ = deps_.settings ? deps_.settings() : RecorderSettings{};
    state_ = RecordingState::starting;
    failure_.clear();
    warnings_.clear();
    setLevels({});
    elapsed_ = 0;
    currentID_.reset();
    consentReminder_.reset();
    consentNotified_ = false;
    sleptAt_.reset();
    batteryWarned_ = false;
    cleanMicPeak_ = 0;
    echoActive_ = false;
    stopScheduled_ = false;
    stoppedOnFailure_ = false;
    changed();

    RecordingOptions options = requested;
    microphoneAllowed(options);
    options_ = options;

    // The id of the start time, with "_2", "_3", ... when a folder of that name exists.
    const auto startedAt = deps_.clock.now();
    const std::string base = recordingCanonicalID(startedAt);
    std::string id = base;
    if (auto problem = deps_.recordings.rootProblem()) {
        fail("Could not create the recording folder: " + *problem, false, std::nullopt);
        return;
    }
    try {
        for (int n = 2; fs::exists(deps_.recordings.workFolder(id)); ++n)
            id = base + "_" + std::to_string(n);
        fs::create_directories(deps_.recordings.workFolder(id));
    } catch (const std::exception& e) {
        fail(std::string("Could not create the recording folder: ") + e.what(), false, id);
        return;
    }
    currentID_ = id;

    try {
        graph_ = deps_.makeGraph(options_);
        if (!graph_) throw Error("no audio graph");
        std::weak_ptr<RecordingSession*> weak = alive_;
        core::MainQueue* main = &deps_.main;
        auto hop = [weak, main](auto work) {
            main->async([weak, work = std::move(work)] {
                if (auto s = weak.lock()) work(**s);
            });
        };
        RecordingGraph::Callbacks callbacks;
        callbacks.onLevels = [hop](const RecordingLevels& l) {
            hop([l](RecordingSession& s) { s.onLevels(l); });
        };
        callbacks.onFormatChange = [hop](double rate, std::optional<std::string> mic) {
            hop([rate, mic](RecordingSession& s) { s.onFormatChange(rate, mic); });
        };
        callbacks.onError = [hop](const std::string& message) {
            hop([message](RecordingSession& s) { s.onEngineError(message); });
        };
        callbacks.onOutputKindChange = [hop](AudioOutputKind kind) {
            hop([kind](RecordingSession& s) { s.onOutputKindChange(kind); });
        };
        graph_->setCallbacks(std::move(callbacks));
        graph_->start();
        ring_ = graph_->ring();
    } catch (const std::exception& e) {
        if (graph_) graph_->stop();
        graph_.reset();
        fail(std::string("Could not start recording: ") + e.what(), false, id);
        return;
    }

    const bool micInGraph = options_.includeMicrophone && graph_->options().includeMicrophone &&
                            graph_->microphoneName();
    if (options_.includeMicrophone && !micInGraph) options_.includeMicrophone = false;
    outputKind_ = graph_->outputKind();

    RecordingSidecar sidecar;
    sidecar.id = id;
    sidecar.startedAt = startedAt;
    sidecar.source = options_.source;
    if (micInGraph) sidecar.microphoneName = graph_->microphoneName();
    sidecar.channelLayout = micInGraph ? kLayoutMicrophoneSystem : kLayoutSystemStereo;
    sidecar.status = "recording";
    sidecar.systemSideSilent = true;
    sidecar.micSideSilent = micInGraph;
    sidecar.echoCancellation = settings_.echoMode;
    sidecar.outputKind = outputKindWord(outputKind_);
    sidecar.appVersion = deps_.appVersion;

    std::unique_ptr<RecordingWriter> writer;
    try {
        writer = std::make_unique<RecordingWriter>(deps_.recordings.workFolder(id), sidecar,
                                                   deps_.clock);
        std::weak_ptr<RecordingSession*> weak = alive_;
        core::MainQueue* main = &deps_.main;
        writer->setOnMicLevel([weak, main](float peak) {
            main->async([weak, peak] {
                if (auto s = weak.lock(); s && (*s)->state_ == RecordingState::recording)
                    (*s)->cleanMicPeak_ = std::clamp(peak, 0.0f, 1.0f);
            });
        });
        writer->startDraining(ring_);
        writer->beginSegment(graph_->sampleRate(),
                             micInGraph ? graph_->microphoneName() : std::nullopt, "start", false,
                             referenceDelay());
    } catch (const std::exception& e) {
        graph_->stop();
        graph_.reset();
        if (writer) writer->finish();
        fail(std::string("Could not write the recording: ") + e.what(), false, id);
        return;
    }
    writer_ = std::move(writer);
    {
        auto lock = writer_->lock();
        writer_->stateLocked().status = "recording";
        writer_->persistLocked();
    }
    stampNewestSegment();
    holdSleep();

    sums_ = {};
    systemHeard_ = micHeard_ = systemWarned_ = micWarned_ = false;
    lastGuardCheck_.reset();
    lastDiskCheck_.reset();
    lastSoundAt_ = deps_.clock.now();
    bankedElapsed_ = 0;
    runningSince_ = deps_.clock.now();
    startTimers();
    state_ = RecordingState::recording;
    applyEcho(false);

    core::log(kArea,
              "started {} (source: {}, microphone: {}, {:.0f} Hz, {}, output {} at {:.0f} ms, "
              "echo cancellation {} -> {})",
              id, sourceText(options_.source), microphoneWord(), graph_->sampleRate(),
              sidecar.channelLayout, outputKindWord(outputKind_), graph_->outputLatency() * 1000,
              settings_.echoMode, echoActive_ ? "on" : "off");
    powerCheck();
    showConsent();
    changed();
}

std::string RecordingSession::microphoneWord() const {
    if (!options_.includeMicrophone) return "off";
    if (graph_) {
        if (auto name = graph_->microphoneName()) return *name;
    }
    return "default";
}

void RecordingSession::showConsent() {
    if (!settings_.consentReminder) return;
    std::string text = settings_.consentText.value_or(settings::kDefaultConsentText);
    if (text.empty()) return;
    consentReminder_ = text;
    core::log(kArea, "consent reminder: {}", text);
    if (!deps_.notifications || !currentID_) return;
    if (deps_.notifications->authorizationStatus() != platform::AuthorizationStatus::authorized) {
        core::log(kArea, "notifications are not allowed; the consent reminder stays in the menu");
        return;
    }
    auto result = deps_.notifications->post(
        {"sayloft.recorder.consent." + *currentID_, "sayloft is recording", text, {}});
    if (result.posted()) {
        consentNotified_ = true;
    } else {
        core::log(kArea, "consent notification failed: {}", result.error);
    }
}

void RecordingSession::stampNewestSegment() {
    if (!writer_ || !graph_) return;
    auto lock = writer_->lock();
    auto& sidecar = writer_->stateLocked();
    if (sidecar.segments.empty()) return;
    auto& newest = sidecar.segments.back();
    newest.source = options_.source;
    newest.channelLayout = options_.includeMicrophone && graph_->microphoneName()
                               ? kLayoutMicrophoneSystem
                               : kLayoutSystemStereo;
    writer_->persistLocked();
}

double RecordingSession::referenceDelay() const {
    return graph_ ? std::max(0.0, graph_->outputLatency() - 0.05) : 0.0;
}

void RecordingSession::holdSleep() {
    if (!deps_.sleep || holdingSleep_) return;
    if (deps_.sleep->hold("sayloft is recording audio")) {
        holdingSleep_ = true;
    } else {
        core::log(kArea, "could not hold off sleep; recording goes on");
    }
}

void RecordingSession::releaseSleep() {
    if (!deps_.sleep || !holdingSleep_) return;
    deps_.sleep->release();
    holdingSleep_ = false;
}

void RecordingSession::startTimers() {
    std::weak_ptr<RecordingSession*> weak = alive_;
    core::MainQueue* main = &deps_.main;
    tickTimer_ = deps_.clock.startTimer(core::seconds(1), core::seconds(1), [weak, main] {
        main->async([weak] {
            if (auto s = weak.lock()) (*s)->tick();
        });
    });
    // The levels reach the front-ends ten times a second, also while paused.
    meterTimer_ = deps_.clock.startTimer(core::seconds(0.1), core::seconds(0.1), [weak, main] {
        main->async([weak] {
            if (auto s = weak.lock(); s && (*s)->isActive()) (*s)->changed();
        });
    });
}

void RecordingSession::stopTimers() {
    if (tickTimer_) tickTimer_->cancel();
    if (meterTimer_) meterTimer_->cancel();
    tickTimer_.reset();
    meterTimer_.reset();
}

// --- levels and the tick -------------------------------------------------------------------

void RecordingSession::onLevels(const RecordingLevels& l) {
    if (state_ != RecordingState::recording) return;
    setLevels(l);
    sums_.peakMic = std::max(sums_.peakMic, l.micPeak);
    sums_.peakSystem = std::max(sums_.peakSystem, l.systemPeak);
    sums_.squaresMic += double(l.micRMS) * l.micRMS;
    sums_.squaresSystem += double(l.systemRMS) * l.systemRMS;
    sums_.ticks += 1;
    if (l.systemPeak > kHeardFloor && !systemHeard_) {
        systemHeard_ = true;
        if (writer_) {
            auto lock = writer_->lock();
            writer_->stateLocked().systemSideSilent = false;
            writer_->persistLocked();
        }
    }
    if (options_.includeMicrophone && l.micPeak > kHeardFloor && !micHeard_) {
        micHeard_ = true;
        if (writer_) {
            auto lock = writer_->lock();
            writer_->stateLocked().micSideSilent = false;
            writer_->persistLocked();
        }
    }
    if (std::max(l.micPeak, l.systemPeak) >= kAutoStopFloor) lastSoundAt_ = deps_.clock.now();
}

void RecordingSession::tick() {
    if (!isActive()) return;
    elapsed_ = elapsedNow();
    changed();
    if (writeFailureCheck()) return;
    const auto now = deps_.clock.now();
    if (!lastDiskCheck_ || now - *lastDiskCheck_ >= core::seconds(30)) {
        lastDiskCheck_ = now;
        if (diskCheck()) return;
        powerCheck();
    }
    if (state_ != RecordingState::recording) return;
    silenceCheck();
    autoStopCheck();
}

void RecordingSession::scheduleStop(bool failure) {
    if (stopScheduled_) return;
    stopScheduled_ = true;
    stoppedOnFailure_ = failure;
    std::weak_ptr<RecordingSession*> weak = alive_;
    deps_.main.async([weak] {
        if (auto s = weak.lock()) (*s)->stopAndSend();
    });
}

bool RecordingSession::writeFailureCheck() {
    if (!writer_) return false;
    std::string error;
    {
        auto lock = writer_->lock();
        if (writer_->failedWritesLocked() < 1) return false;
        error = writer_->lastWriteErrorLocked().value_or("write failed");
    }
    core::log(kArea, "writing {} failed ({}); stopping", currentID_.value_or("?"), error);
    addWarning(RecordingWarning::Kind::note,
               "Recording stopped: sayloft could not save the audio to disk (" + error +
                   "). What was saved before is being sent.");
    scheduleStop();
    return true;
}

bool RecordingSession::diskCheck() {
    if (!deps_.diskSpace) return false;
    auto space = deps_.diskSpace(deps_.recordings.root());
    const bool low = (space.important >= 0 && space.important < kImportantFloor) ||
                     (space.available >= 0 && space.available < kAvailableFloor);
    if (!low) return false;
    core::log(kArea, "{} bytes free ({} for important usage); stopping {}", space.available,
              space.important, currentID_.value_or("?"));
    addWarning(RecordingWarning::Kind::note, "Recording stopped: the disk is nearly full.");
    scheduleStop();
    return true;
}

void RecordingSession::powerCheck() {
    if (!deps_.power) return;
    const bool battery = deps_.power->onBattery().value_or(false);
    if (battery && !batteryWarned_) {
        batteryWarned_ = true;
        core::log(kArea, "on battery; a closed lid will interrupt {}", currentID_.value_or("?"));
        addWarning(RecordingWarning::Kind::power,
                   "On battery power: closing the lid puts this computer to sleep and interrupts "
                   "the recording.");
    } else if (!battery && batteryWarned_) {
        batteryWarned_ = false;
        removeWarnings(RecordingWarning::Kind::power);
        changed();
    }
}

void RecordingSession::silenceCheck() {
    const auto now = deps_.clock.now();
    if (elapsed_ < kGuardDelay) return;
    if (lastGuardCheck_ && now - *lastGuardCheck_ < core::seconds(2)) return;
    lastGuardCheck_ = now;
    if (!systemHeard_ && !systemWarned_) {
        bool playing = false;
        std::vector<AudioApp> apps;
        if (deps_.catalog) apps = deps_.catalog->audioApps();
        for (auto& app : apps) {
            if (!app.isPlaying) continue;
            if (!options_.source.app || options_.source.app->bundleID == app.bundleID)
                playing = true;
        }
        if (playing) {
            systemWarned_ = true;
            core::log(kArea,
                      "system side silent while audio plays; the sound server gives us nothing");
            addWarning(RecordingWarning::Kind::systemAudio,
                       "No system audio is reaching sayloft although sound is playing. Check that "
                       "the sound server runs and that sayloft may record its output.");
        }
    }
    if (options_.includeMicrophone && !micHeard_ && !micWarned_) {
        micWarned_ = true;
        core::log(kArea, "microphone side digitally silent after {:.0f} s", elapsed_);
        std::string name =
            graph_ ? graph_->microphoneName().value_or("the default input") : "the default input";
        addWarning(RecordingWarning::Kind::microphoneSilent,
                   "No sound is reaching sayloft from the microphone (" + name +
                       "). Check that it is not muted, or pick another microphone in the "
                       "recording settings.");
    }
}

bool RecordingSession::autoStopCheck() {
    const auto minutes = settings_.autoStopMinutes.value_or(0);
    if (minutes < 1) return false;
    if (deps_.clock.now() - lastSoundAt_ < core::seconds(minutes * 60.0)) return false;
    core::log(kArea, "{} min of silence on both sides; stopping {}", minutes,
              currentID_.value_or("?"));
    addWarning(RecordingWarning::Kind::note,
               "Stopped automatically after " + std::to_string(minutes) + " min of silence.");
    scheduleStop(false);
    return true;
}

// --- echo cancellation ---------------------------------------------------------------------

bool RecordingSession::echoWanted() const {
    if (!graph_ || !options_.includeMicrophone || !graph_->microphoneName()) return false;
    if (settings_.echoMode == "on") return true;
    if (settings_.echoMode == "off") return false;
    return isSpeakers(graph_->outputKind()) && !graph_->outputIsNetwork() &&
           graph_->outputLatency() <= 0.5;
}

void RecordingSession::applyEcho(bool cut) {
    if (!graph_ || !writer_) return;
    const bool wanted = echoWanted();
    const bool changedSwitch = wanted != echoActive_ || wanted != writer_->echoSwitch();
    outputKind_ = graph_->outputKind();
    if (changedSwitch) {
        if (!cut || state_ != RecordingState::recording) {
            writer_->setEchoSwitch(wanted);
        } else {
            try {
                writer_->beginSegment(graph_->sampleRate(), graph_->microphoneName(), "echo-change",
                                      wanted, referenceDelay());
                writer_->setEchoSwitch(wanted);
                stampNewestSegment();
            } catch (const std::exception& e) {
                core::log(kArea, "could not start a segment after the echo change: {}", e.what());
                addWarning(RecordingWarning::Kind::note,
                           "Recording could not continue after the sound output changed; what "
                           "was recorded is being sent.");
                scheduleStop();
            }
        }
        core::log(kArea, "echo cancellation {} on {} (setting {}, output {})",
                  wanted ? "on" : "off", currentID_.value_or("?"), settings_.echoMode,
                  outputKindWord(outputKind_));
    }
    echoActive_ = wanted;

    std::optional<std::string> text;
    if (options_.includeMicrophone && isSpeakers(outputKind_)) {
        if (graph_->outputIsNetwork() || graph_->outputLatency() > 0.5) {
            text = kSpeakerLate;
        } else if (settings_.echoMode == "off") {
            text = kSpeakerNoCancel;
        }
    }
    std::erase_if(warnings_, [&](const RecordingWarning& w) {
        return w.kind == RecordingWarning::Kind::speakerEcho && (!text || w.text != *text);
    });
    if (text) addWarning(RecordingWarning::Kind::speakerEcho, *text);
    changed();
}

void RecordingSession::onOutputKindChange(AudioOutputKind) {
    if (!isActive()) return;
    applyEcho(true);
}

// --- pause, resume, device changes ---------------------------------------------------------

void RecordingSession::bankRunning() {
    if (runningSince_) {
        bankedElapsed_ += core::toSeconds(deps_.clock.now() - *runningSince_);
        runningSince_.reset();
    }
    elapsed_ = bankedElapsed_;
}

void RecordingSession::pause() {
    if (state_ != RecordingState::recording || !writer_) return;
    if (graph_) graph_->setPaused(true);
    {
        auto lock = writer_->lock();
        writer_->endSegmentLocked();
        writer_->stateLocked().status = "paused";
        writer_->persistLocked();
    }
    bankRunning();
    setLevels({});
    state_ = RecordingState::paused;
    core::log(kArea, "paused {} at {:.0f} s", currentID_.value_or("?"), elapsed_);
    changed();
}

void RecordingSession::resume() {
    if (state_ != RecordingState::paused || !writer_ || !graph_) return;
    applyEcho(false);
    try {
        writer_->beginSegment(graph_->sampleRate(),
                              options_.includeMicrophone ? graph_->microphoneName() : std::nullopt,
                              "resume", std::nullopt, referenceDelay());
    } catch (const std::exception& e) {
        core::log(kArea, "could not resume {}: {}", currentID_.value_or("?"), e.what());
        addWarning(RecordingWarning::Kind::note, std::string("Could not resume the recording (") +
                                                     e.what() +
                                                     "); what was recorded is being sent.");
        scheduleStop();
        return;
    }
    stampNewestSegment();
    graph_->setPaused(false);
    {
        auto lock = writer_->lock();
        writer_->stateLocked().status = "recording";
        writer_->persistLocked();
    }
    runningSince_ = deps_.clock.now();
    lastSoundAt_ = deps_.clock.now();
    state_ = RecordingState::recording;
    core::log(kArea, "resumed {}", currentID_.value_or("?"));
    changed();
}

void RecordingSession::writeSummaryLocked(bool endNow) {
    auto& sidecar = writer_->stateLocked();
    const double n = std::max(sums_.ticks, 1);
    sidecar.levels = LevelsSummary{sums_.peakMic, float(std::sqrt(sums_.squaresMic / n)),
                                   sums_.peakSystem, float(std::sqrt(sums_.squaresSystem / n))};
    if (endNow && !sidecar.endedAt) sidecar.endedAt = deps_.clock.now();
}

void RecordingSession::onFormatChange(double rate, std::optional<std::string> micName) {
    core::log(kArea, "device change on {}: {:.0f} Hz, microphone {}", currentID_.value_or("?"),
              rate, micName.value_or("none"));
    const std::string reason = pendingSegmentReason_.value_or("device-change");
    pendingSegmentReason_.reset();
    if (state_ != RecordingState::recording || !writer_ || !graph_) {
        if (graph_ && writer_) applyEcho(false);
        return;
    }
    {
        auto lock = writer_->lock();
        writeSummaryLocked(false);
        writer_->persistLocked();
    }
    try {
        writer_->beginSegment(rate, options_.includeMicrophone ? micName : std::nullopt, reason,
                              echoWanted(), referenceDelay());
    } catch (const std::exception& e) {
        core::log(kArea, "could not start a segment after the device change: {}", e.what());
        addWarning(RecordingWarning::Kind::note,
                   "The audio device changed and recording could not continue; what was recorded "
                   "is being sent.");
        scheduleStop();
        return;
    }
    stampNewestSegment();
    applyEcho(false);
}

void RecordingSession::change(const RecordingOptions& requested) {
    if (!isActive() || !graph_ || !writer_) return;
    RecordingOptions options = requested;
    const bool micWasOn = options_.includeMicrophone;
    microphoneAllowed(options);
    if (options == options_) return;
    const std::string reason =
        !(options.source == options_.source)
            ? "source-change"
            : (options.includeMicrophone ? "microphone-on" : "microphone-off");
    core::log(kArea, "{} on {}: source {}, microphone {}", reason, currentID_.value_or("?"),
              sourceText(options.source),
              options.includeMicrophone ? options.microphoneUID.value_or("default") : "off");
    pendingSegmentReason_ = reason;
    options_ = options;
    try {
        graph_->reconfigure(options);
    } catch (const std::exception& e) {
        onEngineError(e.what());
        return;
    }
    applyEcho(false);
    {
        auto lock = writer_->lock();
        auto& sidecar = writer_->stateLocked();
        const bool mic = options_.includeMicrophone && graph_->microphoneName();
        if (mic) sidecar.microphoneName = graph_->microphoneName();
        const std::string layout = mic ? kLayoutMicrophoneSystem : kLayoutSystemStereo;
        bool same = true;
        for (auto& segment : sidecar.segments)
            if (segment.channelLayout && *segment.channelLayout != layout) same = false;
        sidecar.channelLayout = same ? layout : kLayoutMixed;
        if (options_.includeMicrophone && !micWasOn) sidecar.micSideSilent = true;
        writer_->persistLocked();
    }
    if (options_.includeMicrophone && !micWasOn) micHeard_ = micWarned_ = false;
    changed();
}

void RecordingSession::onEngineError(const std::string& message) {
    core::log(kArea, "engine error on {}: {}", currentID_.value_or("?"), message);
    if (!isActive()) return;
    addWarning(RecordingWarning::Kind::note, "Recording stopped: " + message);
    scheduleStop();
}

// --- sleep and wake ------------------------------------------------------------------------

void RecordingSession::willSleep() {
    if (!isActive()) return;
    sleptAt_ = deps_.clock.now();
    if (state_ == RecordingState::recording) {
        bankRunning();
        // What was captured up to here is closed on disk before the system sleeps.
        if (writer_) {
            auto lock = writer_->lock();
            writer_->drainLocked();
            writer_->endSegmentLocked();
            writer_->persistLocked();
        }
    }
    const bool battery = deps_.power && deps_.power->onBattery().value_or(false);
    core::log(kArea, "this computer is going to sleep during {} ({})", currentID_.value_or("?"),
              battery ? "battery" : "power");
    if (battery && deps_.notifications && currentID_) {
        deps_.notifications->post({"sayloft.recorder.sleep." + *currentID_,
                                   "Recording interrupted",
                                   "This computer is going to sleep on battery. sayloft's "
                                   "recording has a gap until it wakes.",
                                   {}});
    }
    releaseSleep();
}

void RecordingSession::didWake() {
    if (!isActive() || !sleptAt_) return;
    const auto now = deps_.clock.now();
    core::log(kArea, "woke after {:.0f} s asleep during {}", core::toSeconds(now - *sleptAt_),
              currentID_.value_or("?"));
    addWarning(RecordingWarning::Kind::note, "This computer slept from " + hhmm(*sleptAt_) +
                                                 " to " + hhmm(now) +
                                                 "; the recording has a gap there.");
    sleptAt_.reset();
    holdSleep();
    if (state_ != RecordingState::recording || !writer_ || !graph_) return;
    runningSince_ = now;
    lastSoundAt_ = now;
    try {
        writer_->beginSegment(graph_->sampleRate(),
                              options_.includeMicrophone ? graph_->microphoneName() : std::nullopt,
                              "wake", std::nullopt, referenceDelay());
        stampNewestSegment();
    } catch (const std::exception& e) {
        core::log(kArea, "could not start a segment after waking: {}", e.what());
        addWarning(RecordingWarning::Kind::note,
                   "The recording could not continue after this computer woke; what was "
                   "recorded is being sent.");
        scheduleStop();
        return;
    }
    graph_->verifyIOAfterWake();
}

// --- stop, send, discard, fail -------------------------------------------------------------

void RecordingSession::stopAndSend(SendDone done) {
    if (!isActive() || !writer_ || !currentID_) {
        if (done) done(false, "No recording is running.");
        return;
    }
    const std::string id = *currentID_;
    bankRunning();
    state_ = RecordingState::finishing;
    stopTimers();
    if (graph_) graph_->stop();
    graph_.reset();
    std::shared_ptr<RecordingWriter> writer(std::move(writer_));
    setLevels({});
    changed();
    releaseSleep();

    const bool systemSilent = !systemHeard_;
    const bool micOn = options_.includeMicrophone;
    const bool micSilent = micOn && !micHeard_;
    const Sums sums = sums_;
    const double elapsed = elapsed_;
    std::vector<std::string> notes;
    for (auto& w : warnings_)
        if (w.kind == RecordingWarning::Kind::note) notes.push_back(w.text);

    std::weak_ptr<RecordingSession*> weak = alive_;
    core::MainQueue* main = &deps_.main;
    core::Clock* clock = &deps_.clock;
    auto send = deps_.send;
    auto discardFlag = std::make_shared<std::atomic<bool>>(false);
    discardWhileFinishing_ = discardFlag;
    auto notSent = deps_.notSent;
    worker_.async([=, this] {
        RecordingSidecar sidecar = writer->finish();
        {
            auto lock = writer->lock();
            auto& s = writer->stateLocked();
            s.systemSideSilent = systemSilent;
            s.micSideSilent = micSilent;
            const double n = std::max(sums.ticks, 1);
            s.levels = LevelsSummary{sums.peakMic, float(std::sqrt(sums.squaresMic / n)),
                                     sums.peakSystem, float(std::sqrt(sums.squaresSystem / n))};
            if (!s.endedAt) s.endedAt = clock->now();
            writer->persistLocked();
            sidecar = s;
        }
        core::log(kArea, "stopped {} after {:.0f} s (system {}, microphone {})", id, elapsed,
                  systemSilent ? "silent" : "heard",
                  !micOn ? "off" : (micSilent ? "silent" : "heard"));

        // The flag is taken: from here on a discard comes too late.
        if (discardFlag->exchange(true)) {
            deps_.recordings.removeWorkFolder(id);
            core::log(kArea, "discarded {}", id);
            main->async([weak, id, done] {
                auto s = weak.lock();
                if (!s) return;
                auto& self = **s;
                self.warnings_.clear();
                self.currentID_.reset();
                self.elapsed_ = 0;
                self.state_ = RecordingState::idle;
                self.changed();
                if (done) done(false, "Recording " + id + " was discarded.");
            });
            return;
        }
        if (systemSilent && (!micOn || micSilent)) {
            core::log(kArea, "{} is digital silence on every side; not sending", id);
            std::string message =
                "Nothing was recorded: no system audio reached sayloft" +
                std::string(micOn ? " and the microphone was silent" : "") +
                ". Check the sound server and the microphone before the next recording. This "
                "recording is silent; discard it with `sayloft recordings discard " +
                id + "`.";
            if (notSent) notSent(id, message);
            main->async([weak, sidecar, message, done] {
                auto s = weak.lock();
                if (!s) return;
                auto& self = **s;
                self.addToRecovery(sidecar);
                self.failure_ = message;
                self.state_ = RecordingState::failed;
                self.changed();
                if (done) done(false, message);
            });
            return;
        }

        std::string result, error;
        try {
            if (!send) throw Error("nothing can send recordings here");
            result = send(id);
        } catch (const std::exception& e) {
            error = e.what();
        }
        std::optional<RecordingSidecar> kept;
        if (!error.empty()) {
            core::log(kArea, "sending {} failed: {}", id, error);
            kept = deps_.recordings.loadSidecar(id).value_or(sidecar);
        }
        main->async([weak, id, result, error, kept, notes, done] {
            auto s = weak.lock();
            if (!s) return;
            auto& self = **s;
            if (error.empty()) {
                std::string line = result;
                if (!notes.empty()) {
                    line += ".";
                    for (auto& n : notes) line += " " + n;
                }
                self.lastResult_ = line;
                self.warnings_.clear();
                self.currentID_.reset();
                self.state_ = RecordingState::idle;
                self.elapsed_ = 0;
                self.changed();
                if (done) done(true, line);
                return;
            }
            self.addToRecovery(*kept);
            self.failure_ = "Could not send the recording " + id + ": " + error +
                            ". It is kept and can be "
                            "sent again.";
            self.state_ = RecordingState::failed;
            self.changed();
            if (done) done(false, self.failure_);
        });
    });
}

bool RecordingSession::discard() {
    if (state_ == RecordingState::failed) {
        warnings_.clear();
        failure_.clear();
        state_ = RecordingState::idle;
        changed();
        return true;
    }
    if (state_ == RecordingState::finishing) {
        // Wins only when the worker has not taken the flag yet.
        return discardWhileFinishing_ && !discardWhileFinishing_->exchange(true);
    }
    if (state_ != RecordingState::starting && !isActive()) return false;
    stopTimers();
    if (graph_) graph_->stop();
    graph_.reset();
    if (writer_) writer_->finish();
    writer_.reset();
    releaseSleep();
    if (currentID_) {
        deps_.recordings.removeWorkFolder(*currentID_);
        core::log(kArea, "discarded {}", *currentID_);
    }
    setLevels({});
    elapsed_ = bankedElapsed_ = 0;
    runningSince_.reset();
    currentID_.reset();
    warnings_.clear();
    state_ = RecordingState::idle;
    changed();
    return true;
}

void RecordingSession::fail(const std::string& message, bool keepFolder,
                            const std::optional<std::string>& id) {
    core::log(kArea, "{}", message);
    if (!keepFolder && id) deps_.recordings.removeWorkFolder(*id);
    releaseSleep();
    stopTimers();
    writer_.reset();
    currentID_ = keepFolder ? id : std::nullopt;
    setLevels({});
    consentReminder_.reset();
    failure_ = message;
    state_ = RecordingState::failed;
    changed();
}

void RecordingSession::addToRecovery(const RecordingSidecar& sidecar) {
    std::erase_if(pendingRecovery_, [&](const RecordingSidecar& r) { return r.id == sidecar.id; });
    pendingRecovery_.push_back(sidecar);
    std::sort(pendingRecovery_.begin(), pendingRecovery_.end(),
              [](const RecordingSidecar& a, const RecordingSidecar& b) {
                  return a.startedAt > b.startedAt;
              });
}

void RecordingSession::launchCheck() {
    if (state_ != RecordingState::starting && !isActive() && deps_.removeLeftovers) {
        try {
            deps_.removeLeftovers();
        } catch (const std::exception& e) {
            core::log(kArea,
                      "could not remove what an earlier recording left in the sound "
                      "server: {}",
                      e.what());
        }
    }
    std::optional<std::string> exclude;
    if (isActive() || state_ == RecordingState::starting) exclude = currentID_;
    if (auto problem = deps_.recordings.rootProblem())
        core::log(kArea, "no recording can be kept: {}", *problem);
    pendingRecovery_ = deps_.recordings.scan(exclude);
    if (!pendingRecovery_.empty()) {
        std::string ids;
        for (auto& r : pendingRecovery_) ids += (ids.empty() ? "" : ", ") + r.id;
        core::log(kArea, "{} unfinished recording(s) found: {}", pendingRecovery_.size(), ids);
    }
    changed();
}

void RecordingSession::shutdown() {
    worker_.drain();
    if (!isActive()) return;
    stopTimers();
    if (graph_) graph_->stop();
    graph_.reset();
    if (writer_) {
        writer_->finish();
        auto lock = writer_->lock();
        auto& s = writer_->stateLocked();
        s.systemSideSilent = !systemHeard_;
        s.micSideSilent = options_.includeMicrophone && !micHeard_;
        writeSummaryLocked(true);
        writer_->persistLocked();
    }
    writer_.reset();
    releaseSleep();
    const std::string id = currentID_.value_or("?");
    core::log(kArea, "quit while recording {}; kept for recovery", id);
    failure_ = "sayloft stopped while recording " + id +
               "; the recording is kept and offered again at the next start.";
    state_ = RecordingState::failed;
    currentID_.reset();
    changed();
}

}  // namespace sayloft::recorder
