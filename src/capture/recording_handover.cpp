#include "capture/recording_handover.hpp"

#include <cmath>

#include "core/log.hpp"
#include "media/duration_probe.hpp"
#include "recorder/encoder_process.hpp"
#include "service/wendrel_client.hpp"

namespace sayloft::capture {

namespace fs = std::filesystem;
using recorder::RecordingSidecar;
using vault::InboxWriter;
using Upload = RecordingSubmitOutcome::Upload;

namespace {

constexpr const char* kArea = "recorder";
constexpr double kOwnNoteTolerance = 2.0;

bool isRecordingOrigin(const std::string& origin) {
    return origin == "sayloft_recorder" || origin == "fennick_recorder";
}

std::string durationText(double total) {
    if (total >= 60) return fmt::format("{} min", std::lround(total / 60));
    return fmt::format("{} s", std::lround(total));
}

}  // namespace

const char* uploadCaseName(Upload upload) {
    switch (upload) {
        case Upload::nothing:
            return "nothing";
        case Upload::uploading:
            return "uploading";
        case Upload::uploadOff:
            return "uploadOff";
        case Upload::notPaired:
            return "notPaired";
    }
    return "?";
}

RecordingHandover::RecordingHandover(Dependencies deps) : deps_(deps) {}

RecordingHandover::~RecordingHandover() {
    waitForUploads();
}

void RecordingHandover::waitForUploads() {
    std::vector<std::jthread> running;
    {
        std::lock_guard lock(uploadsMutex_);
        running.swap(uploads_);
    }
    running.clear();  // joins
}

bool RecordingHandover::isOwnNote(const InboxWriter& inbox, const std::string& id,
                                  const RecordingSidecar& sidecar) const {
    try {
        auto note = inbox.readFrontmatter(inbox.notePath(id));
        std::error_code ec;
        if (!isRecordingOrigin(note.sourceOrigin) || !fs::exists(inbox.audioPath(id), ec))
            return false;
        return std::fabs(core::toSeconds(note.created - sidecar.startedAt)) <= kOwnNoteTolerance;
    } catch (const std::exception&) {
        return false;
    }
}

RecordingSubmitOutcome RecordingHandover::submitRecording(const std::vector<fs::path>& parts,
                                                          RecordingSidecar& sidecar) {
    RecordingSubmitOutcome outcome;
    auto& pipeline = deps_.pipeline;
    const auto inbox = pipeline.inbox();
    const bool upload = pipeline.uploadEnabled();
    const std::string& base = sidecar.id;
    std::set<std::string> taken;  // ids given to earlier parts of this hand-over
    std::vector<std::string> placed;
    std::vector<InboxWriter::Frontmatter> fresh;

    try {
        inbox.ensureDirectories();
    } catch (const std::exception& e) {
        core::log(kArea, "cannot create the inbox for {}: {}", base, e.what());
        outcome.partIDs.assign(parts.size(), std::nullopt);
        return outcome;
    }

    for (size_t index = 0; index < parts.size(); ++index) {
        const auto& part = parts[index];
        const int number = static_cast<int>(index) + 1;
        const std::string nominal = number == 1 ? base : base + "_" + std::to_string(number);
        std::error_code ec;
        const auto partSize = fs::file_size(part, ec);

        // Settle the id: this recording's own note is reused, anything else is a collision.
        std::optional<std::string> id;
        bool reused = false;
        auto consider = [&](const std::string& candidate) {
            if (taken.count(candidate)) return false;
            if (isOwnNote(inbox, candidate, sidecar)) {
                reused = true;
                id = candidate;
                return true;
            }
            std::error_code exists;
            if (fs::exists(inbox.notePath(candidate), exists)) return false;
            // Audio without a note: an earlier hand-over stopped between copy and stub. It is
            // ours only when it is this very part.
            auto audio = inbox.audioPath(candidate);
            if (fs::exists(audio, exists)) {
                std::error_code sizeError;
                if (fs::file_size(audio, sizeError) != partSize || sizeError) return false;
            }
            if (!pipeline.claim(candidate)) return false;
            id = candidate;
            return true;
        };
        if (!consider(nominal)) {
            for (int n = 2; n <= 999 && !id; ++n) consider(nominal + "_" + std::to_string(n));
            if (!id) {
                auto fallback = nominal + "_" + service::makeUuid().substr(0, 8);
                core::log("capture", "collision resolver hit 1000 attempts on {}, fallback={}",
                          nominal, fallback);
                consider(fallback);
            }
        }
        if (!id) {
            outcome.partIDs.push_back(std::nullopt);
            continue;
        }
        taken.insert(*id);
        if (reused) {
            std::string status = "?";
            try {
                status = inbox.readFrontmatter(inbox.notePath(*id)).wlJobStatus.value_or("?");
            } catch (const std::exception&) {
            }
            core::log(kArea, "part {} of {} is already in the inbox as {} ({})", number, base, *id,
                      status);
            outcome.reused.insert(*id);
            outcome.partIDs.push_back(*id);
            placed.push_back(*id);
            continue;
        }

        struct Release {
            CapturePipeline& pipeline;
            std::string id;
            ~Release() { pipeline.release(id); }
        } release{pipeline, *id};

        try {
            inbox.copyAudio(part, *id);
        } catch (const std::exception& e) {
            core::log(kArea, "copying {} into the inbox as {} failed: {}", part.filename().string(),
                      *id, e.what());
            outcome.partIDs.push_back(std::nullopt);
            continue;
        }
        auto stub = captureStub(*id, sidecar.startedAt);
        stub.classification = "meeting_recording";
        stub.sourceOrigin = "sayloft_recorder";
        const double seconds = media::probeDuration(part).value_or(0);
        stub.audioDurationSec = std::llround(seconds);
        stub.recorderSource = sidecar.source.app ? sidecar.source.app->name : "All audio";
        stub.recorderMicrophone = sidecar.microphoneName;
        stub.recorderChannelLayout = sidecar.microphoneName ? recorder::kLayoutMicrophoneSystem
                                                            : recorder::kLayoutSystemStereo;
        stub.wlJobStatus = upload ? "queued" : "skipped";
        try {
            inbox.writeMarkdown(stub, "");
        } catch (const std::exception& e) {
            core::log(kArea, "writing the stub for {} failed: {}", *id, e.what());
            outcome.partIDs.push_back(std::nullopt);
            continue;
        }
        core::log(kArea, "{} is in the inbox ({}, {} s)", *id, part.filename().string(),
                  std::llround(seconds));
        outcome.partIDs.push_back(*id);
        placed.push_back(*id);
        fresh.push_back(stub);
    }

    sidecar.submittedParts = placed;
    deps_.recordings.saveSidecar(sidecar);

    if (!upload) {
        core::log(kArea, "WL upload disabled; {} stays skipped in the vault", base);
        outcome.upload = Upload::uploadOff;
    } else if (!deps_.keychain.hasDeviceToken()) {
        core::log(kArea, "not paired with Wendrel; {} waits in the vault (queued) until pairing",
                  base);
        outcome.upload = Upload::notPaired;
    } else if (!fresh.empty()) {
        outcome.upload = Upload::uploading;
        std::lock_guard lock(uploadsMutex_);
        uploads_.emplace_back([this, fresh] {
            for (const auto& note : fresh) {
                auto& pipeline = deps_.pipeline;
                pipeline.uploadExisting(note.id, pipeline.uploadProfile(note), kArea);
            }
        });
    } else {
        outcome.upload = Upload::nothing;
    }
    return outcome;
}

std::string RecordingHandover::send(const std::string& id,
                                    const recorder::RecordingEncoder::Options& options) {
    try {
        return sendOrThrow(id, options);
    } catch (const std::exception& e) {
        core::log(kArea, "recovery: sending {} failed: {}", id, e.what());
        throw Error("Could not send the recording " + id + ": " + e.what() + ". It is kept.");
    }
}

std::string RecordingHandover::sendOrThrow(const std::string& id,
                                           const recorder::RecordingEncoder::Options& options) {
    const auto& recordings = deps_.recordings;
    if (!recorder::RecordingRecovery::isValidID(id)) throw Error("no such recording");
    auto loaded = recordings.loadSidecar(id);
    if (!loaded) loaded = recordings.reconstructSidecar(id);
    if (!loaded) throw Error("no such recording");
    if (recorder::isSilent(*loaded)) {
        core::log(kArea, "recovery: {} is digital silence on every side; not sending", id);
        throw Error(
            "it is silent: no audio reached sayloft, so there is nothing to transcribe. "
            "Discard it");
    }
    RecordingSidecar sidecar = recordings.closeOpenEnds(*loaded);
    recordings.saveSidecar(sidecar);
    core::log(kArea, "recovery: sending {} ({} segment(s))", id, sidecar.segments.size());

    const auto folder = recordings.workFolder(id);
    recordings.removeEncodedParts(id);
    auto parts = recorder::encodeInHelper(folder, options);
    const std::string notArrived = "the audio did not arrive in the vault's _inbox/.audio";
    if (parts.empty()) throw Error(notArrived);
    sidecar.status = "encoded";
    recordings.saveSidecar(sidecar);

    std::vector<uintmax_t> sizes;
    double total = 0;
    for (const auto& part : parts) {
        std::error_code ec;
        sizes.push_back(fs::file_size(part, ec));
        total += media::probeDuration(part).value_or(0);
    }
    auto outcome = submitRecording(parts, sidecar);

    const auto inbox = deps_.pipeline.inbox();
    if (outcome.partIDs.size() != parts.size()) throw Error(notArrived);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!outcome.partIDs[i]) throw Error(notArrived);
        const auto& partID = *outcome.partIDs[i];
        std::error_code ec;
        const auto size = fs::file_size(inbox.audioPath(partID), ec);
        if (ec || (!outcome.reused.count(partID) && size != sizes[i])) throw Error(notArrived);
    }
    sidecar.status = "sent";
    recordings.saveSidecar(sidecar);
    recordings.removeWorkFolder(id);

    const std::string duration = durationText(total);
    const std::string partsText =
        parts.size() >= 2 ? " in " + std::to_string(parts.size()) + " parts" : "";
    core::log(kArea, "handed over {}{} ({}), upload {}", id, partsText, duration,
              uploadCaseName(outcome.upload));
    switch (outcome.upload) {
        case Upload::uploading:
            return "Sent " + id + partsText + " (" + duration + ")";
        case Upload::nothing:
            return "Saved " + id + partsText + " to _inbox (" + duration + ")";
        case Upload::uploadOff:
            return "Saved " + id + partsText + " to _inbox (" + duration +
                   "); Wendrel upload is off";
        case Upload::notPaired:
            return "Saved " + id + partsText + " to _inbox (" + duration +
                   "); connect Wendrel with `sayloft pair` to transcribe it";
    }
    return id;
}

void RecordingHandover::discard(const std::string& id) {
    const auto& recordings = deps_.recordings;
    std::error_code ec;
    if (!recorder::RecordingRecovery::isValidID(id) ||
        !fs::is_directory(recordings.workFolder(id), ec))
        throw Error("There is no unfinished recording " + id + ".");
    if (!recordings.removeWorkFolder(id))
        throw Error("Could not remove the recording " + id + "; check the folder permissions of " +
                    recordings.root().string() + ".");
    core::log(kArea, "recovery: discarded {}", id);
}

}  // namespace sayloft::capture
