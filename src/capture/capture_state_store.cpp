#include "capture/capture_state_store.hpp"

#include <fmt/format.h>

#include <sys/stat.h>
#include <unistd.h>

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
using PendingEntry = CaptureStateStore::PendingEntry;

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

Json encodePending(const std::map<std::string, PendingEntry>& entries) {
    Json out = Json::object();
    for (auto& [name, e] : entries) {
        Json j = {{"captureId", e.captureId},
                  {"firstSeen", core::formatIso8601Utc(e.firstSeen)},
                  {"attempts", e.attempts}};
        if (e.nextTry) j["nextTry"] = core::formatIso8601Utc(*e.nextTry);
        if (!e.lastError.empty()) j["lastError"] = e.lastError;
        out[name] = std::move(j);
    }
    return out;
}

std::map<std::string, PendingEntry> decodePending(const Json& j) {
    if (!j.is_object()) throw std::runtime_error("pending entries are not an object");
    std::map<std::string, PendingEntry> out;
    for (auto& [name, value] : j.items()) {
        PendingEntry e;
        auto date = core::parseIso8601(value.at("firstSeen").get<std::string>());
        if (!date) throw std::runtime_error("bad firstSeen for " + name);
        e.firstSeen = *date;
        e.captureId = value.at("captureId").get<std::string>();
        if (value.contains("attempts")) e.attempts = value.at("attempts").get<int>();
        if (value.contains("nextTry")) {
            e.nextTry = core::parseIso8601(value.at("nextTry").get<std::string>());
            if (!e.nextTry) throw std::runtime_error("bad nextTry for " + name);
        }
        if (value.contains("lastError")) e.lastError = value.at("lastError").get<std::string>();
        out[name] = std::move(e);
    }
    return out;
}

enum class ReadResult { absent, damaged, ok };

// Reads and decodes one generation of the state file.
ReadResult readState(const fs::path& path, State& out, std::string& why) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return ReadResult::absent;
    auto text = core::readFile(path);
    if (!text) {
        why = "cannot be read";
        return ReadResult::damaged;
    }
    try {
        out = CaptureStateStore::decode(Json::parse(*text));
        return ReadResult::ok;
    } catch (const std::exception& e) {
        why = e.what();
        return ReadResult::damaged;
    }
}

std::optional<core::TimePoint> modifiedTime(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return core::TimePoint{std::chrono::seconds(st.st_mtim.tv_sec)};
}

}  // namespace

CaptureStateStore::CaptureStateStore(fs::path storePath, fs::path legacyPath, core::Clock& clock)
    : storePath_(std::move(storePath)), legacyPath_(std::move(legacyPath)), clock_(clock) {
    std::error_code ec;
    fs::create_directories(storePath_.parent_path(), ec);
    // Temporary files of a save that was cut short (one engine per user writes this file).
    const std::string prefix = "." + storePath_.filename().string();
    for (auto it = fs::directory_iterator(storePath_.parent_path(), ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        auto name = it->path().filename().string();
        if (name.starts_with(prefix) && name.ends_with(".tmp")) {
            std::error_code rm;
            fs::remove(it->path(), rm);
        }
    }
    load();
    indexIds();
}

CaptureStateStore::~CaptureStateStore() {
    queue_.sync([&] { persist(); });
}

fs::path CaptureStateStore::defaultStorePath() {
    return core::stateDir() / "state.json";
}
fs::path CaptureStateStore::defaultLegacyPath() {
    return core::homeDir() / ".voice_memo_watcher_state.json";
}
fs::path CaptureStateStore::previousPath() const {
    return storePath_.parent_path() / (storePath_.filename().string() + ".previous");
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
    Json pending = Json::object();
    for (auto& [id, entries] : s.pendingByFolder)
        if (!entries.empty()) pending[id] = encodePending(entries);
    return {{"version", s.version},
            {"seenByFolder", folders},
            {"pendingByFolder", pending},
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
    if (j.contains("pendingByFolder")) {
        auto& folders = j.at("pendingByFolder");
        if (!folders.is_object()) throw std::runtime_error("pendingByFolder is not an object");
        for (auto& [id, entries] : folders.items()) s.pendingByFolder[id] = decodePending(entries);
    }
    if (j.contains("voiceMemosSeen")) s.voiceMemosSeen = decodeEntries(j.at("voiceMemosSeen"));
    return s;
}

void CaptureStateStore::load() {
    state_ = State{};
    State decoded;
    std::string why;
    auto adopt = [&](State st) {
        int oldVersion = st.version;
        state_ = CaptureStateMigration::migrate(std::move(st));
        if (state_.version != oldVersion) {
            core::log("capture", "migrated state v{} -> v{} ({} entries)", oldVersion,
                      state_.version, countEntries(state_));
            dirty_ = true;
            persist();
        }
    };
    switch (readState(storePath_, decoded, why)) {
        case ReadResult::ok:
            adopt(std::move(decoded));
            return;
        case ReadResult::damaged: {
            // Never overwritten: the damaged file is set aside for whoever wants to look at it,
            // and the previous generation takes its place.
            auto lastGood = modifiedTime(storePath_);
            auto aside =
                storePath_.parent_path() / (storePath_.filename().string() + ".damaged-" +
                                            core::formatLocal(clock_.now(), "yyyyMMdd-HHmmss"));
            std::error_code ec;
            fs::rename(storePath_, aside, ec);
            core::log("capture", "state file damaged ({}); set aside as {}", why,
                      aside.filename().string());
            State previous;
            std::string whyPrevious;
            if (readState(previousPath(), previous, whyPrevious) == ReadResult::ok) {
                core::log("capture", "restored the previous generation of the state file");
                adopt(std::move(previous));
                dirty_ = true;
                persist();
                return;
            }
            recoveredAfter_ = lastGood.value_or(core::TimePoint{});
            core::log("capture",
                      "no earlier state could be read; files changed after {} count as new",
                      core::formatIso8601Local(*recoveredAfter_));
            return;
        }
        case ReadResult::absent:
            if (readState(previousPath(), decoded, why) == ReadResult::ok) {
                adopt(std::move(decoded));  // a save was cut short between its two renames
                return;
            }
            break;
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
    dirty_ = true;
    persist();
}

void CaptureStateStore::indexIds() {
    idOwners_.clear();
    for (auto& [folder, files] : state_.seenByFolder)
        for (auto& [key, e] : files)
            if (!e.canonicalId.empty()) idOwners_.emplace(e.canonicalId, std::pair{folder, key});
    for (auto& [folder, files] : state_.pendingByFolder)
        for (auto& [key, e] : files) idOwners_[e.captureId] = {folder, key};
}

void CaptureStateStore::persist() {
    if (!dirty_) return;
    try {
        const std::string text = core::dumpPretty(encode(state_));
        // The current file becomes the previous generation (a second name for the same bytes),
        // then the new one replaces it: at every instant one of them is whole.
        fs::path prev = previousPath();
        fs::path prevTemp = prev.parent_path() / ("." + prev.filename().string() + ".tmp");
        ::unlink(prevTemp.c_str());
        if (::link(storePath_.c_str(), prevTemp.c_str()) == 0) {
            if (::rename(prevTemp.c_str(), prev.c_str()) != 0) ::unlink(prevTemp.c_str());
        }
        core::writeDurably(storePath_, text);
        dirty_ = false;
    } catch (const std::exception& e) {
        core::log("capture", "state persist failed: {}", e.what());
    }
}

void CaptureStateStore::save() {
    queue_.sync([&] { persist(); });
}

bool CaptureStateStore::hasSeen(const std::string& fileName, const std::string& folderId) {
    return queue_.sync([&] {
        auto it = state_.seenByFolder.find(folderId);
        return it != state_.seenByFolder.end() && it->second.count(keyFor(fileName)) > 0;
    });
}

bool CaptureStateStore::isKnown(const std::string& fileName, const std::string& folderId) {
    return queue_.sync([&] {
        const auto key = keyFor(fileName);
        auto it = state_.seenByFolder.find(folderId);
        if (it != state_.seenByFolder.end() && it->second.count(key)) return true;
        auto p = state_.pendingByFolder.find(folderId);
        return p != state_.pendingByFolder.end() && p->second.count(key) > 0;
    });
}

std::vector<std::string> CaptureStateStore::unknown(const std::vector<std::string>& fileNames,
                                                    const std::string& folderId) {
    return queue_.sync([&] {
        static const std::map<std::string, SeenEntry> noSeen;
        static const std::map<std::string, PendingEntry> noPending;
        auto s = state_.seenByFolder.find(folderId);
        auto p = state_.pendingByFolder.find(folderId);
        auto& seen = s == state_.seenByFolder.end() ? noSeen : s->second;
        auto& pending = p == state_.pendingByFolder.end() ? noPending : p->second;
        std::vector<std::string> out;
        for (auto& name : fileNames) {
            auto key = keyFor(name);
            if (!seen.count(key) && !pending.count(key)) out.push_back(name);
        }
        return out;
    });
}

void CaptureStateStore::markSeen(const std::string& fileName, const std::string& canonicalId,
                                 const std::string& folderId, core::TimePoint date) {
    queue_.sync([&] {
        const auto key = keyFor(fileName);
        state_.seenByFolder[folderId][key] = SeenEntry{date, canonicalId};
        if (!canonicalId.empty()) idOwners_.emplace(canonicalId, std::pair{folderId, key});
        dirty_ = true;
    });
}

void CaptureStateStore::markSeenAll(
    const std::vector<std::pair<std::string, std::string>>& namesAndIds,
    const std::string& folderId, core::TimePoint date) {
    queue_.sync([&] {
        auto& files = state_.seenByFolder[folderId];
        for (auto& [name, id] : namesAndIds) {
            const auto key = keyFor(name);
            files[key] = SeenEntry{date, id};
            if (!id.empty()) idOwners_.emplace(id, std::pair{folderId, key});
        }
        dirty_ = dirty_ || !namesAndIds.empty();
    });
}

int CaptureStateStore::forget(const std::vector<std::string>& fileNames,
                              const std::string& folderId) {
    return queue_.sync([&] {
        auto& files = state_.seenByFolder[folderId];
        int removed = 0;
        for (auto& name : fileNames) removed += int(files.erase(keyFor(name)));
        files[kIndexDoneMarker] = SeenEntry{clock_.now(), ""};
        indexIds();
        dirty_ = true;
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

bool CaptureStateStore::indexDone(const std::string& folderId) {
    return queue_.sync([&] {
        auto it = state_.seenByFolder.find(folderId);
        if (it != state_.seenByFolder.end() && !it->second.empty()) return true;
        auto p = state_.pendingByFolder.find(folderId);
        return p != state_.pendingByFolder.end() && !p->second.empty();
    });
}

void CaptureStateStore::setIndexDone(const std::string& folderId) {
    queue_.sync([&] {
        auto& files = state_.seenByFolder[folderId];
        if (!files.count(kIndexDoneMarker)) {
            files[kIndexDoneMarker] = SeenEntry{clock_.now(), ""};
            dirty_ = true;
        }
    });
}

std::optional<core::TimePoint> CaptureStateStore::recoveredAfter() {
    return queue_.sync([&] { return recoveredAfter_; });
}

bool CaptureStateStore::idTaken(const std::string& id, const std::string& folderId,
                                const std::string& key) const {
    auto it = idOwners_.find(id);
    return it != idOwners_.end() && it->second != std::pair{folderId, key};
}

std::string CaptureStateStore::claim(const std::string& fileName, const std::string& folderId,
                                     const std::string& baseId, core::TimePoint firstSeen,
                                     const std::function<bool(const std::string&)>& usable) {
    return queue_.sync([&] {
        const auto key = keyFor(fileName);
        auto& pending = state_.pendingByFolder[folderId];
        if (auto it = pending.find(key); it != pending.end()) {
            inFlight_.insert({folderId, key});
            return it->second.captureId;
        }
        auto free = [&](const std::string& id) {
            return !idTaken(id, folderId, key) && (!usable || usable(id));
        };
        std::string id = baseId;
        for (int n = 2; !free(id); ++n) {
            if (n > 999) {
                id = baseId + "_" + fmt::format("{:08X}", unsigned(std::hash<std::string>{}(key)));
                core::log("capture", "collision resolver hit 1000 attempts on {}, fallback={}",
                          baseId, id);
                break;
            }
            id = baseId + "_" + std::to_string(n);
        }
        pending[key] = PendingEntry{firstSeen, id, 0, std::nullopt, ""};
        idOwners_[id] = {folderId, key};
        inFlight_.insert({folderId, key});
        dirty_ = true;
        return id;
    });
}

std::vector<CaptureStateStore::Pending> CaptureStateStore::takeDuePending(
    const std::string& folderId) {
    return queue_.sync([&] {
        std::vector<Pending> due;
        auto it = state_.pendingByFolder.find(folderId);
        if (it == state_.pendingByFolder.end()) return due;
        const auto now = clock_.now();
        for (auto& [key, e] : it->second) {
            if (inFlight_.count({folderId, key})) continue;
            if (e.nextTry && *e.nextTry > now) continue;
            inFlight_.insert({folderId, key});
            due.push_back({folderId, key, e});
        }
        return due;
    });
}

void CaptureStateStore::captured(const std::string& fileName, const std::string& folderId) {
    queue_.sync([&] {
        const auto key = keyFor(fileName);
        inFlight_.erase({folderId, key});
        auto& pending = state_.pendingByFolder[folderId];
        auto it = pending.find(key);
        if (it == pending.end()) return;
        state_.seenByFolder[folderId][key] = SeenEntry{it->second.firstSeen, it->second.captureId};
        pending.erase(it);
        if (pending.empty()) state_.pendingByFolder.erase(folderId);
        dirty_ = true;
    });
}

double CaptureStateStore::captureFailed(const std::string& fileName, const std::string& folderId,
                                        const std::string& error) {
    return queue_.sync([&] {
        const auto key = keyFor(fileName);
        inFlight_.erase({folderId, key});
        auto& pending = state_.pendingByFolder[folderId];
        auto it = pending.find(key);
        if (it == pending.end()) return 0.0;
        auto& e = it->second;
        ++e.attempts;
        double delay = kFirstRetryDelay;
        for (int i = 1; i < e.attempts && delay < kMaxRetryDelay; ++i) delay *= 2;
        delay = std::min(delay, kMaxRetryDelay);
        e.nextTry = clock_.now() + core::seconds(delay);
        e.lastError = error;
        dirty_ = true;
        return delay;
    });
}

void CaptureStateStore::release(const std::string& fileName, const std::string& folderId) {
    queue_.sync([&] { inFlight_.erase({folderId, keyFor(fileName)}); });
}

void CaptureStateStore::dropPending(const std::string& fileName, const std::string& folderId) {
    queue_.sync([&] {
        const auto key = keyFor(fileName);
        inFlight_.erase({folderId, key});
        auto it = state_.pendingByFolder.find(folderId);
        if (it == state_.pendingByFolder.end() || !it->second.erase(key)) return;
        if (it->second.empty()) state_.pendingByFolder.erase(it);
        indexIds();
        dirty_ = true;
    });
}

std::vector<CaptureStateStore::Pending> CaptureStateStore::pending() {
    return queue_.sync([&] {
        std::vector<Pending> out;
        for (auto& [folder, files] : state_.pendingByFolder)
            for (auto& [key, e] : files) out.push_back({folder, key, e});
        return out;
    });
}

std::vector<CaptureStateStore::Pending> CaptureStateStore::pendingIn(const fs::path& storePath) {
    State state;
    std::string why;
    std::vector<Pending> out;
    if (readState(storePath, state, why) != ReadResult::ok) return out;
    for (auto& [folder, files] : state.pendingByFolder)
        for (auto& [key, e] : files) out.push_back({folder, key, e});
    return out;
}

int CaptureStateStore::retryPendingNow() {
    return queue_.sync([&] {
        int n = 0;
        for (auto& [folder, files] : state_.pendingByFolder)
            for (auto& [key, e] : files) {
                if (e.nextTry) e.nextTry.reset(), dirty_ = true;
                ++n;
            }
        return n;
    });
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
