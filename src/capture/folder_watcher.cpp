#include "capture/folder_watcher.hpp"

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
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

CaptureGuards CaptureGuards::defaults() {
    return {&CaptureGuards::defaultSize, &CaptureGuards::defaultModified,
            &CaptureGuards::defaultDuration};
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

std::vector<std::string> FolderWatcher::candidates() const {
    if (accessState().kind != CaptureAccess::State::Kind::ok) return {};
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

std::optional<core::TimePoint> FolderWatcher::timestamp(const fs::path& file) const {
    if (folder_.normaliser == WatchedFolder::Normaliser::voiceMemos) {
        auto parsed = FilenameNormaliser::parse(file.filename().string());
        if (!parsed) return std::nullopt;
        return parsed->timestamp;
    }
    return guards_.modified(file);
}

int FolderWatcher::runInitialIndex() {
    if (store_.seenCount(folder_.id) != 0) return 0;
    const fs::path dir = folderURL(folder_);
    int count = 0;
    for (auto& name : candidates()) {
        auto when = timestamp(dir / name);
        store_.markSeen(name, when ? FilenameNormaliser::canonicalId(*when) : "", folder_.id,
                        clock_.now());
        ++count;
    }
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

std::vector<FolderWatcher::NewCapture> FolderWatcher::poll(std::stop_token stop) {
    std::vector<NewCapture> found;
    const fs::path dir = folderURL(folder_);
    for (auto& name : candidates()) {
        if (stop.stop_requested()) break;
        if (store_.hasSeen(name, folder_.id)) continue;
        const fs::path file = dir / name;

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

        bool stable = false, unreadable = false;
        std::uint64_t previous = *size;
        for (int sample = 0; sample < kSampleCount; ++sample) {
            if (!clock_.sleepFor(core::seconds(kSampleInterval), stop)) break;
            auto now = guards_.size(file);
            if (!now) {
                unreadable = true;
                break;
            }
            if (*now == previous) {
                stable = true;
                break;
            }
            previous = *now;
        }
        if (unreadable) {
            defer(name, "cannot stat file");
            continue;
        }
        if (!stable) {
            if (stop.stop_requested()) break;
            defer(name, "size still changing");
            continue;
        }

        if (auto seconds = guards_.duration(file); seconds && *seconds < kMinimumDuration) {
            skip(name,
                 fmt::format("audio too short ({:.2f}s < {:.2f}s)", *seconds, kMinimumDuration));
            continue;
        }

        auto when = timestamp(file);
        if (!when) {
            core::log("capture", "[{}] unparseable name, marking seen: {}", folder_.displayName,
                      printableName(name));
            store_.markSeen(name, "", folder_.id, clock_.now());
            continue;
        }
        auto id = FilenameNormaliser::canonicalId(*when);
        store_.markSeen(name, id, folder_.id, clock_.now());
        found.push_back(NewCapture{file, id, *when, folder_.id});
        core::log("capture", "[{}] new file -- {} -> {}", folder_.displayName, printableName(name),
                  id);
    }
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

Result queueExisting(const std::optional<core::TimePoint>& since, const WatchedFolder& voiceMemos,
                     CaptureStateStore& store) {
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
