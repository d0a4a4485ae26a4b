#include "capture/capture_state_store.hpp"

#include <fmt/format.h>

#include <regex>

#include "core/files.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/text.hpp"
#include "core/time_format.hpp"

namespace sayloft::capture {

namespace fs = std::filesystem;
using core::Json;
using State = CaptureStateStore::State;
using SeenEntry = CaptureStateStore::SeenEntry;

namespace {

size_t countEntries(const State& s) {
    size_t n = s.voiceMemosSeen.size();
    for (auto& [_, files] : s.seenByFolder) n += files.size();
    return n;
}

Json encodeEntries(const std::map<std::string, SeenEntry>& entries) {
    Json out = Json::object();
    for (auto& [name, e] : entries)
        out[name] = {{"canonicalId", e.canonicalId},
                     {"firstSeen", core::formatIso8601Utc(e.firstSeen)}};
    return out;
}

std::map<std::string, SeenEntry> decodeEntries(const Json& j) {
    if (!j.is_object()) throw std::runtime_error("entries are not an object");
    std::map<std::string, SeenEntry> out;
    for (auto& [name, value] : j.items()) {
        auto date = core::parseIso8601(value.at("firstSeen").get<std::string>());
        if (!date) throw std::runtime_error("bad firstSeen for " + name);
        out[name] = SeenEntry{*date, value.at("canonicalId").get<std::string>()};
    }
    return out;
}

}  // namespace

CaptureStateStore::CaptureStateStore(fs::path storePath, fs::path legacyPath, core::Clock& clock)
    : storePath_(std::move(storePath)), legacyPath_(std::move(legacyPath)), clock_(clock) {
    std::error_code ec;
    fs::create_directories(storePath_.parent_path(), ec);
    load();
}

fs::path CaptureStateStore::defaultStorePath() {
    return core::stateDir() / "state.json";
}
fs::path CaptureStateStore::defaultLegacyPath() {
    return core::homeDir() / ".voice_memo_watcher_state.json";
}

std::string CaptureStateStore::keyFor(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        size_t len = core::utf8SequenceLength(name, i);
        if (len == 0) {
            out += fmt::format("%{:02X}", static_cast<unsigned char>(name[i]));
            ++i;
        } else {
            out.append(name, i, len);
            i += len;
        }
    }
    return out;
}

Json CaptureStateStore::encode(const State& s) {
    Json folders = Json::object();
    for (auto& [id, entries] : s.seenByFolder) folders[id] = encodeEntries(entries);
    return {{"version", s.version},
            {"seenByFolder", folders},
            {"voiceMemosSeen", encodeEntries(s.voiceMemosSeen)}};
}

State CaptureStateStore::decode(const Json& j) {
    if (!j.is_object()) throw std::runtime_error("state is not an object");
    State s;
    s.version = j.contains("version") ? j.at("version").get<int>() : 1;
    if (j.contains("seenByFolder")) {
        auto& folders = j.at("seenByFolder");
        if (!folders.is_object()) throw std::runtime_error("seenByFolder is not an object");
        for (auto& [id, entries] : folders.items()) s.seenByFolder[id] = decodeEntries(entries);
    }
    if (j.contains("voiceMemosSeen")) s.voiceMemosSeen = decodeEntries(j.at("voiceMemosSeen"));
    return s;
}

void CaptureStateStore::load() {
    state_ = State{};
    if (auto text = core::readFile(storePath_)) {
        try {
            State decoded = decode(Json::parse(*text));
            int oldVersion = decoded.version;
            state_ = CaptureStateMigration::migrate(std::move(decoded));
            if (state_.version != oldVersion) {
                core::log("capture", "migrated state v{} -> v{} ({} entries)", oldVersion,
                          state_.version, countEntries(state_));
                persist();
            }
            return;
        } catch (const std::exception&) {
            state_ = State{};  // corrupt: replaced at the next change
        }
    }
    std::error_code ec;
    if (!fs::exists(legacyPath_, ec)) return;
    auto legacy = core::readFile(legacyPath_);
    if (!legacy) return;
    auto json = Json::parse(*legacy, nullptr, false);
    if (!json.is_object()) return;
    auto it = json.find("processed");
    if (it == json.end() || !it->is_array()) return;
    std::vector<std::string> names;
    for (auto& n : *it) {
        if (!n.is_string()) return;
        names.push_back(n.get<std::string>());
    }
    core::log("capture", "migrating {} entries from voice-memo-watcher state", names.size());
    state_ = CaptureStateMigration::fromLegacyPython(names, clock_.now());
    persist();
}

void CaptureStateStore::persist() {
    try {
        core::writeAtomically(storePath_, core::dumpPretty(encode(state_)));
    } catch (const std::exception& e) {
        core::log("capture", "state persist failed: {}", e.what());
    }
}

bool CaptureStateStore::hasSeen(const std::string& fileName, const std::string& folderId) {
    return queue_.sync([&] {
        auto it = state_.seenByFolder.find(folderId);
        return it != state_.seenByFolder.end() && it->second.count(keyFor(fileName)) > 0;
    });
}

void CaptureStateStore::markSeen(const std::string& fileName, const std::string& canonicalId,
                                 const std::string& folderId, core::TimePoint date) {
    queue_.sync([&] {
        state_.seenByFolder[folderId][keyFor(fileName)] = SeenEntry{date, canonicalId};
        persist();
    });
}

int CaptureStateStore::forget(const std::vector<std::string>& fileNames,
                              const std::string& folderId) {
    return queue_.sync([&] {
        auto& files = state_.seenByFolder[folderId];
        int removed = 0;
        for (auto& name : fileNames) removed += int(files.erase(keyFor(name)));
        files[kIndexDoneMarker] = SeenEntry{clock_.now(), ""};
        persist();
        return removed;
    });
}

int CaptureStateStore::seenCount(const std::string& folderId) {
    return queue_.sync([&] {
        auto it = state_.seenByFolder.find(folderId);
        return it == state_.seenByFolder.end() ? 0 : int(it->second.size());
    });
}

State CaptureStateStore::snapshot() {
    return queue_.sync([&] { return state_; });
}

namespace CaptureStateMigration {

State migrate(State s) {
    if (s.version > 1) return s;
    if (s.voiceMemosSeen.empty()) {
        s.version = 2;
        return s;
    }
    auto& target = s.seenByFolder["voice-memos"];
    for (auto& [name, entry] : s.voiceMemosSeen) target.emplace(name, entry);  // existing wins
    s.voiceMemosSeen.clear();
    s.version = 2;
    return s;
}

State fromLegacyPython(const std::vector<std::string>& processed, core::TimePoint importTime) {
    State s;
    auto& target = s.seenByFolder["voice-memos"];
    for (auto& name : processed)
        target[CaptureStateStore::keyFor(name)] = SeenEntry{importTime, ""};
    return s;
}

}  // namespace CaptureStateMigration

namespace FilenameNormaliser {

std::optional<Parsed> parse(const std::string& fileName) {
    static const std::regex pattern(R"(^(\d{8})\s+(\d{6})(?:-([A-Fa-f0-9]+))?\.m4a$)");
    std::smatch m;
    if (!std::regex_match(fileName, m, pattern)) return std::nullopt;
    auto date = core::parseLocal(m[1].str() + m[2].str(), "yyyyMMddHHmmss");
    if (!date) return std::nullopt;
    return Parsed{*date, m[3].matched ? m[3].str() : ""};
}

std::string canonicalId(core::TimePoint date) {
    return core::formatLocal(date, "yyMMdd-HHmmss");
}

}  // namespace FilenameNormaliser

}  // namespace sayloft::capture
