#include "capture/folder_watcher.hpp"

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "core/log.hpp"
#include "core/places.hpp"
#include "core/text.hpp"
#include "core/time_format.hpp"
#include "media/duration_probe.hpp"

namespace sayloft::capture {

namespace fs = std::filesystem;
using settings::WatchedFolder;

// ---------------------------------------------------------------------------------------------
// Probes

std::optional<std::uint64_t> CaptureGuards::defaultSize(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return std::nullopt;
    return std::uint64_t(st.st_size);
}

std::optional<core::TimePoint> CaptureGuards::defaultModified(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return std::nullopt;
    return core::TimePoint{std::chrono::seconds(st.st_mtim.tv_sec) +
                           std::chrono::nanoseconds(st.st_mtim.tv_nsec)};
}

std::optional<double> CaptureGuards::defaultDuration(const fs::path& file) {
    return media::probeDuration(file);
}

std::optional<double> CaptureGuards::parseDuration(const std::string& output) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        line = std::string(core::trimWhitespace(line));
        auto at = line.find(" sec");
        if (at == std::string::npos) continue;
        std::string number(core::trimWhitespace(std::string_view(line).substr(0, at)));
        if (number.empty()) continue;
        char* end = nullptr;
        double value = std::strtod(number.c_str(), &end);
        if (end == number.c_str() + number.size() && std::isfinite(value)) return value;
    }
    return std::nullopt;
}

CaptureGuards::Whole CaptureGuards::defaultWhole(const fs::path& file) {
    auto probe = media::probe(file);
    if (!probe) return Whole::unknown;
    return probe->whole ? Whole::yes : Whole::no;
}

CaptureGuards CaptureGuards::defaults() {
    return {&CaptureGuards::defaultSize, &CaptureGuards::defaultModified,
            &CaptureGuards::defaultDuration, &CaptureGuards::defaultWhole};
}

fs::path folderURL(const WatchedFolder& folder) {
    if (folder.id == settings::kVoiceMemosFolderId) return settings::voiceMemosFolder();
    return core::expandTilde(folder.path);
}

// ---------------------------------------------------------------------------------------------
// Watcher

FolderWatcher::FolderWatcher(WatchedFolder folder, CaptureStateStore& store, core::Clock& clock,
                             CaptureGuards guards)
    : folder_(std::move(folder)), store_(store), clock_(clock), guards_(std::move(guards)) {}

CaptureAccess::State FolderWatcher::accessState() const {
    return CaptureAccess::check(folderURL(folder_), folder_.effectiveExtensions(), folder_.enabled);
}

std::vector<std::string> FolderWatcher::listed() const {
    std::vector<std::string> names;
    try {
        names = CaptureAccess::listFolder(folderURL(folder_));
    } catch (const std::exception&) {
        return {};
    }
    auto extensions = folder_.effectiveExtensions();
    std::erase_if(names, [&](const std::string& n) {
        return extensions.count(CaptureAccess::lowerExtension(n)) == 0;
    });
    return names;
}

std::vector<std::string> FolderWatcher::candidates() const {
    if (accessState().kind != CaptureAccess::State::Kind::ok) return {};
    return listed();
}

std::optional<core::TimePoint> FolderWatcher::timestamp(const fs::path& file) const {
    if (folder_.normaliser == WatchedFolder::Normaliser::voiceMemos) {
        auto parsed = FilenameNormaliser::parse(file.filename().string());
        if (!parsed) return std::nullopt;
        return parsed->timestamp;
    }
    return guards_.modified(file);
}

bool FolderWatcher::isRegularInside(const std::string& name, std::string& why) const {
    const fs::path dir = folderURL(folder_);
    struct stat st {};
    if (::lstat((dir / name).c_str(), &st) != 0) {
        why = "cannot stat file";
        return false;
    }
    if (S_ISREG(st.st_mode)) return true;
    if (!S_ISLNK(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    std::error_code ec;
    auto target = fs::canonical(dir / name, ec);
    auto base = fs::canonical(dir, ec);
    if (ec || ::stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "link to something that is not a regular file";
        return false;
    }
    auto rel = target.lexically_relative(base);
    if (rel.empty() || *rel.begin() == "..") {
        why = "link to a file outside the folder";
        return false;
    }
    return true;
}

int FolderWatcher::runInitialIndex() {
    if (store_.indexDone(folder_.id)) return 0;
    const fs::path dir = folderURL(folder_);
    const auto after = store_.recoveredAfter();
    std::vector<std::pair<std::string, std::string>> seen;
    for (auto& name : candidates()) {
        // After a damaged state, what changed since its last good write counts as new.
        if (after) {
            auto modified = guards_.modified(dir / name);
            if (!modified || *modified > *after) continue;
        }
        auto when = timestamp(dir / name);
        seen.emplace_back(name, when ? FilenameNormaliser::canonicalId(*when) : "");
    }
    const int count = int(seen.size());
    store_.markSeenAll(seen, folder_.id, clock_.now());
    store_.setIndexDone(folder_.id);
    store_.save();
    core::log("capture", "[{}] initial index complete ({} existing files marked seen)",
              folder_.displayName, count);
    return count;
}

void FolderWatcher::defer(const std::string& name, const std::string& reason) const {
    core::log("capture", "[{}] deferring {} ({})", folder_.displayName, printableName(name),
              reason);
}

void FolderWatcher::skip(const std::string& name, const std::string& reason) {
    core::log("capture", "[{}] skipping {} ({})", folder_.displayName, printableName(name), reason);
    store_.markSeen(name, "", folder_.id, clock_.now());
}

std::vector<FolderWatcher::NewCapture> FolderWatcher::takePending() {
    return takePending(listed());
}

std::vector<FolderWatcher::NewCapture> FolderWatcher::takePending(
    const std::vector<std::string>& names) {
    std::vector<NewCapture> resumed;
    const fs::path dir = folderURL(folder_);
    auto due = store_.takeDuePending(folder_.id);
    if (!due.empty()) {
        std::map<std::string, std::string> byKey;
        for (auto& n : names) byKey.emplace(CaptureStateStore::keyFor(n), n);
        for (auto& p : due) {
            auto it = byKey.find(p.fileName);
            const std::string name = it == byKey.end() ? p.fileName : it->second;
            auto when =
                it == byKey.end() ? std::optional<core::TimePoint>() : timestamp(dir / name);
            core::log("capture", "[{}] resuming {} -> {}{}", folder_.displayName,
                      printableName(name), p.entry.captureId,
                      p.entry.attempts ? fmt::format(" (attempt {})", p.entry.attempts + 1) : "");
            resumed.push_back(NewCapture{dir / name, p.entry.captureId,
                                         when.value_or(p.entry.firstSeen), folder_.id, true});
        }
    }

    return resumed;
}

std::vector<FolderWatcher::Candidate> FolderWatcher::scan(std::vector<NewCapture>& resumed) {
    std::vector<Candidate> out;
    const fs::path dir = folderURL(folder_);
    auto names = listed();

    // Claimed files whose capture has not ended: handed on again at once.
    auto again = takePending(names);
    resumed.insert(resumed.end(), again.begin(), again.end());

    for (auto& name : store_.unknown(names, folder_.id)) {
        const fs::path file = dir / name;
        std::string why;
        if (!isRegularInside(name, why)) {
            if (why == "cannot stat file")
                defer(name, why);
            else
                skip(name, why);
            continue;
        }
        auto size = guards_.size(file);
        if (!size) {
            defer(name, "cannot stat file");
            continue;
        }
        if (*size == 0) {
            defer(name, "0-byte file, sync in flight");
            continue;
        }
        if (CaptureAccess::lowerExtension(name) == "qta") {
            auto twin = fs::path(name).replace_extension("m4a").filename().string();
            std::error_code ec;
            if (fs::exists(dir / twin, ec)) {
                skip(name, twin + " is the canonical twin");
                continue;
            }
            if (auto modified = guards_.modified(file)) {
                double age = core::toSeconds(clock_.now() - *modified);
                if (age < kYoungQtaSeconds) {
                    defer(name,
                          fmt::format("young .qta ({:.0f}s < {:.0f}s), may still be recording", age,
                                      kYoungQtaSeconds));
                    continue;
                }
            }
        }
        out.push_back(Candidate{this, name, file, *size, guards_.modified(file), clock_.now()});
    }
    return out;
}

std::optional<FolderWatcher::NewCapture> FolderWatcher::settle(const Candidate& c) {
    const std::string& name = c.name;
    const auto ext = CaptureAccess::lowerExtension(name);
    const bool container = ext == "m4a" || ext == "wav" || ext == "qta" || ext == "mp3" ||
                           ext == "aac" || ext == "caf" || ext == "flac" || ext == "ogg";
    if (container && guards_.whole) {
        if (guards_.whole(c.file) == CaptureGuards::Whole::no) {
            double age = c.modified ? core::toSeconds(clock_.now() - *c.modified) : 0;
            if (age < kTakeIncompleteAfter) {
                defer(name, "audio does not read to its end yet");
                return std::nullopt;
            }
            core::log("capture",
                      "[{}] {} does not read to its end but has not changed for {:.0f}s; "
                      "taking it as it is",
                      folder_.displayName, printableName(name), age);
        }
    }
    if (auto seconds = guards_.duration(c.file); seconds && *seconds < kMinimumDuration) {
        skip(name, fmt::format("audio too short ({:.2f}s < {:.2f}s)", *seconds, kMinimumDuration));
        return std::nullopt;
    }
    auto when = timestamp(c.file);
    if (!when) {
        core::log("capture", "[{}] unparseable name, marking seen: {}", folder_.displayName,
                  printableName(name));
        store_.markSeen(name, "", folder_.id, clock_.now());
        return std::nullopt;
    }
    auto id = store_.claim(name, folder_.id, FilenameNormaliser::canonicalId(*when), clock_.now(),
                           idUsable_);
    core::log("capture", "[{}] new file -- {} -> {}", folder_.displayName, printableName(name), id);
    return NewCapture{c.file, id, *when, folder_.id, true};
}

void FolderWatcher::watch(std::vector<Candidate> candidates, core::Clock& clock,
                          std::stop_token stop,
                          const std::function<void(std::vector<NewCapture>)>& ready) {
    const auto start = clock.now();
    while (!candidates.empty()) {
        if (!clock.sleepFor(core::seconds(kSampleInterval), stop)) break;
        const auto now = clock.now();
        std::vector<NewCapture> batch;
        std::set<CaptureStateStore*> stores;
        std::erase_if(candidates, [&](Candidate& c) {
            auto& guards = c.watcher->guards_;
            auto size = guards.size(c.file);
            if (!size) {
                c.watcher->defer(c.name, "cannot stat file");
                return true;
            }
            auto modified = guards.modified(c.file);
            if (*size != c.size || modified != c.modified) {
                c.size = *size, c.modified = modified, c.unchangedSince = now;
                return false;
            }
            if (core::toSeconds(now - c.unchangedSince) + 1e-9 < kStableFor) return false;
            if (auto capture = c.watcher->settle(c)) batch.push_back(*capture);
            stores.insert(&c.watcher->store_);
            return true;
        });
        // The claims are durable before anything is written for them.
        for (auto* store : stores) store->save();
        if (!batch.empty()) ready(std::move(batch));
        if (core::toSeconds(clock.now() - start) >= kWindow) break;
    }
    for (auto& c : candidates)
        c.watcher->defer(c.name, stop.stop_requested() ? "stopping" : "size still changing");
}

std::vector<FolderWatcher::NewCapture> FolderWatcher::poll(std::stop_token stop) {
    std::vector<NewCapture> found;
    if (accessState().kind != CaptureAccess::State::Kind::ok) return found;
    auto candidates = scan(found);
    watch(std::move(candidates), clock_, stop, [&](std::vector<NewCapture> batch) {
        found.insert(found.end(), batch.begin(), batch.end());
    });
    store_.save();
    return found;
}

// ---------------------------------------------------------------------------------------------
// Import of existing recordings

namespace CaptureImport {

Unreadable::Unreadable(fs::path path, std::string reason)
    : Error("Cannot read the Voice Memos folder: " + reason),
      path_(std::move(path)),
      reason_(std::move(reason)) {}

std::string Result::text() const {
    if (queued == 0) return "No recordings to send.";
    return fmt::format(
        "Queued {} recording{}. They are uploaded one at a time over the next minutes; anything "
        "Wendrel already has is not transcribed again.",
        queued, queued == 1 ? "" : "s");
}

std::vector<std::string> matching(const std::optional<core::TimePoint>& since,
                                  const WatchedFolder& voiceMemos) {
    const fs::path dir = folderURL(voiceMemos);
    std::vector<std::string> names;
    try {
        names = CaptureAccess::listFolder(dir);
    } catch (const std::system_error& e) {
        throw Unreadable(dir, e.code().message());
    }
    auto extensions = voiceMemos.effectiveExtensions();
    std::erase_if(names, [&](const std::string& n) {
        return extensions.count(CaptureAccess::lowerExtension(n)) == 0;
    });
    if (since) {
        const long long floor = std::stoll(core::formatLocal(*since, "yyyyMMdd"));
        std::erase_if(names, [&](const std::string& n) {
            if (n.size() < 8) return true;
            long long value = 0;
            for (size_t i = 0; i < 8; ++i) {
                if (!std::isdigit(static_cast<unsigned char>(n[i]))) return true;
                value = value * 10 + (n[i] - '0');
            }
            return value < floor;
        });
    }
    return names;
}

Result queueExisting(const std::optional<core::TimePoint>& since, const WatchedFolder& voiceMemos,
                     CaptureStateStore& store) {
    const fs::path dir = folderURL(voiceMemos);
    auto names = matching(since, voiceMemos);
    Result result{int(names.size()), dir, 0};
    if (!names.empty()) {
        result.wereMarkedSeen = store.forget(names, voiceMemos.id);
        core::log("capture import", "{} recordings from {} queued ({} were marked seen)",
                  result.queued, dir.string(), result.wereMarkedSeen);
    }
    return result;
}

}  // namespace CaptureImport

}  // namespace sayloft::capture
