#include "recorder/recording_sidecar.hpp"

#include <cmath>
#include <stdexcept>

#include "core/time_format.hpp"

namespace sayloft::recorder {

using core::Json;

namespace {

// Seconds between 1970-01-01 and 2001-01-01.
constexpr double kReferenceEpoch = 978307200.0;

struct BadSidecar : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Json encodeSource(const RecordingSource& source) {
    if (!source.app) return Json{{"allAudio", Json::object()}};
    return Json{{"app", {{"bundleID", source.app->bundleID}, {"name", source.app->name}}}};
}

RecordingSource decodeSource(const Json& j) {
    if (!j.is_object() || j.size() != 1) throw BadSidecar("source must hold one key");
    if (auto it = j.find("allAudio"); it != j.end()) {
        if (!it->is_object()) throw BadSidecar("allAudio is not an object");
        return {};
    }
    if (auto it = j.find("app"); it != j.end()) {
        return {RecordingSource::App{core::getRequired<std::string>(*it, "bundleID"),
                                     core::getRequired<std::string>(*it, "name")}};
    }
    throw BadSidecar("unknown source");
}

std::string encodeDate(core::TimePoint t) {
    return core::formatIso8601Utc(t);
}

core::TimePoint decodeDate(const Json& j, SidecarDateForm form) {
    switch (form) {
        case SidecarDateForm::iso8601:
        case SidecarDateForm::iso8601Fractional: {
            if (!j.is_string()) throw BadSidecar("date is not a string");
            const auto text = j.get<std::string>();
            const bool fractional = text.find('.') != std::string::npos;
            if (fractional != (form == SidecarDateForm::iso8601Fractional))
                throw BadSidecar("not an ISO 8601 date");
            auto t = core::parseIso8601(text);
            if (!t) throw BadSidecar("not an ISO 8601 date");
            return *t;
        }
        case SidecarDateForm::referenceSeconds:
        case SidecarDateForm::unixSeconds: {
            if (!j.is_number()) throw BadSidecar("date is not a number");
            double s = j.get<double>();
            if (!std::isfinite(s)) throw BadSidecar("date is not finite");
            if (form == SidecarDateForm::referenceSeconds) s += kReferenceEpoch;
            return core::TimePoint{} +
                   std::chrono::duration_cast<core::Duration>(std::chrono::duration<double>(s));
        }
    }
    throw BadSidecar("unknown date form");
}

const Json& required(const Json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) throw BadSidecar(std::string("missing ") + key);
    return *it;
}

template <class T>
std::optional<T> optional(const Json& j, const char* key) {
    return core::getOptional<T>(j, key);
}

std::optional<core::TimePoint> optionalDate(const Json& j, const char* key, SidecarDateForm form) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return std::nullopt;
    return decodeDate(*it, form);
}

float level(const Json& j, const char* key) {
    const auto& v = required(j, key);
    if (!v.is_number()) throw BadSidecar(std::string(key) + " is not a number");
    return v.get<float>();
}

}  // namespace

bool isUnfinishedStatus(const std::string& status) {
    return status == "recording" || status == "paused" || status == "stopped" ||
           status == "encoded";
}

bool isSilent(const RecordingSidecar& s) {
    return s.systemSideSilent && (!s.microphoneName || s.micSideSilent);
}

Json encodeSidecar(const RecordingSidecar& s) {
    Json j = Json::object();
    j["id"] = s.id;
    j["startedAt"] = encodeDate(s.startedAt);
    if (s.endedAt) j["endedAt"] = encodeDate(*s.endedAt);
    j["source"] = encodeSource(s.source);
    core::putOptional(j, "microphoneName", s.microphoneName);
    j["channelLayout"] = s.channelLayout;
    Json segments = Json::array();
    for (const auto& g : s.segments) {
        Json sj = Json::object();
        sj["file"] = g.file;
        sj["startedAt"] = encodeDate(g.startedAt);
        if (g.endedAt) sj["endedAt"] = encodeDate(*g.endedAt);
        sj["sampleRate"] = g.sampleRate;
        core::putOptional(sj, "micDeviceName", g.micDeviceName);
        sj["reason"] = g.reason;
        if (g.source) sj["source"] = encodeSource(*g.source);
        core::putOptional(sj, "channelLayout", g.channelLayout);
        core::putOptional(sj, "echoCancelled", g.echoCancelled);
        core::putOptional(sj, "echoReferenceDelay", g.echoReferenceDelay);
        segments.push_back(std::move(sj));
    }
    j["segments"] = std::move(segments);
    j["status"] = s.status;
    j["systemSideSilent"] = s.systemSideSilent;
    j["micSideSilent"] = s.micSideSilent;
    if (s.levels) {
        j["levels"] = {{"micPeak", s.levels->micPeak},
                       {"micRMS", s.levels->micRMS},
                       {"systemPeak", s.levels->systemPeak},
                       {"systemRMS", s.levels->systemRMS}};
    }
    core::putOptional(j, "submittedParts", s.submittedParts);
    core::putOptional(j, "reconstructed", s.reconstructed);
    core::putOptional(j, "echoCancellation", s.echoCancellation);
    core::putOptional(j, "outputKind", s.outputKind);
    j["appVersion"] = s.appVersion;
    return j;
}

std::string renderSidecar(const RecordingSidecar& sidecar) {
    return core::dumpPretty(encodeSidecar(sidecar));
}

RecordingSidecar decodeSidecar(const Json& j, SidecarDateForm form) {
    if (!j.is_object()) throw BadSidecar("not an object");
    RecordingSidecar s;
    s.id = required(j, "id").get<std::string>();
    s.startedAt = decodeDate(required(j, "startedAt"), form);
    s.endedAt = optionalDate(j, "endedAt", form);
    s.source = decodeSource(required(j, "source"));
    s.microphoneName = optional<std::string>(j, "microphoneName");
    s.channelLayout = required(j, "channelLayout").get<std::string>();
    const auto& segments = required(j, "segments");
    if (!segments.is_array()) throw BadSidecar("segments is not an array");
    for (const auto& sj : segments) {
        if (!sj.is_object()) throw BadSidecar("segment is not an object");
        RecordingSegment g;
        g.file = required(sj, "file").get<std::string>();
        g.startedAt = decodeDate(required(sj, "startedAt"), form);
        g.endedAt = optionalDate(sj, "endedAt", form);
        const auto& rate = required(sj, "sampleRate");
        if (!rate.is_number()) throw BadSidecar("sampleRate is not a number");
        g.sampleRate = rate.get<double>();
        g.micDeviceName = optional<std::string>(sj, "micDeviceName");
        g.reason = required(sj, "reason").get<std::string>();
        if (auto it = sj.find("source"); it != sj.end() && !it->is_null())
            g.source = decodeSource(*it);
        g.channelLayout = optional<std::string>(sj, "channelLayout");
        g.echoCancelled = optional<bool>(sj, "echoCancelled");
        if (auto it = sj.find("echoReferenceDelay"); it != sj.end() && !it->is_null()) {
            if (!it->is_number()) throw BadSidecar("echoReferenceDelay is not a number");
            g.echoReferenceDelay = it->get<double>();
        }
        s.segments.push_back(std::move(g));
    }
    s.status = required(j, "status").get<std::string>();
    s.systemSideSilent = required(j, "systemSideSilent").get<bool>();
    s.micSideSilent = required(j, "micSideSilent").get<bool>();
    if (auto it = j.find("levels"); it != j.end() && !it->is_null()) {
        if (!it->is_object()) throw BadSidecar("levels is not an object");
        s.levels = LevelsSummary{level(*it, "micPeak"), level(*it, "micRMS"),
                                 level(*it, "systemPeak"), level(*it, "systemRMS")};
    }
    s.submittedParts = optional<std::vector<std::string>>(j, "submittedParts");
    s.reconstructed = optional<bool>(j, "reconstructed");
    s.echoCancellation = optional<std::string>(j, "echoCancellation");
    s.outputKind = optional<std::string>(j, "outputKind");
    s.appVersion = required(j, "appVersion").get<std::string>();
    return s;
}

std::optional<RecordingSidecar> parseSidecar(std::string_view text) {
    Json j = Json::parse(text, nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    for (auto form : {SidecarDateForm::iso8601, SidecarDateForm::iso8601Fractional,
                      SidecarDateForm::referenceSeconds, SidecarDateForm::unixSeconds}) {
        try {
            return decodeSidecar(j, form);
        } catch (const std::exception&) {
            // the next interpretation
        }
    }
    return std::nullopt;
}

std::string recordingCanonicalID(core::TimePoint start) {
    return core::formatLocal(start, "yyMMdd-HHmmss");
}

}  // namespace sayloft::recorder
