#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "capture/capture_access.hpp"
#include "capture/capture_state_store.hpp"
#include "core/clock.hpp"
#include "core/error.hpp"
#include "settings/settings.hpp"

namespace sayloft::capture {

// The probes a watcher applies to a candidate file; replaceable in tests.
struct CaptureGuards {
    // Whether an audio container reads to the end of the duration it declares.
    enum class Whole { yes, no, unknown };

    std::function<std::optional<std::uint64_t>(const std::filesystem::path&)> size;
    std::function<std::optional<core::TimePoint>(const std::filesystem::path&)> modified;
    std::function<std::optional<double>(const std::filesystem::path&)> duration;
    std::function<Whole(const std::filesystem::path&)> whole = &CaptureGuards::defaultWhole;

    static CaptureGuards defaults();
    // Reads every packet of the file (media libraries loaded on first use).
    static Whole defaultWhole(const std::filesystem::path& file);
    static std::optional<std::uint64_t> defaultSize(const std::filesystem::path& file);
    static std::optional<core::TimePoint> defaultModified(const std::filesystem::path& file);
    // Read from the file's container with libavformat.
    static std::optional<double> defaultDuration(const std::filesystem::path& file);
    // Reads a duration from afinfo-style text: the first line holding " sec" whose text before
    // it is a decimal number.
    static std::optional<double> parseDuration(const std::string& output);
};

// The folder a watched-folder entry stands for: the Voice Memos folder for "voice-memos",
// otherwise its path with "~" expanded.
std::filesystem::path folderURL(const settings::WatchedFolder& folder);

// Compares one watched folder with the capture state and turns new, stable files into captures.
class FolderWatcher {
  public:
    struct NewCapture {
        std::filesystem::path sourceURL;
        std::string canonicalId;
        core::TimePoint timestamp;
        std::string folderId;
        // The state store holds the file as pending under canonicalId: the pipeline must tell
        // it how the capture ended (captured, failed, released).
        bool claimed = false;
    };
    // A new file under watch during a tick's waiting window.
    struct Candidate {
        FolderWatcher* watcher = nullptr;
        std::string name;
        std::filesystem::path file;
        std::uint64_t size = 0;
        std::optional<core::TimePoint> modified;
        core::TimePoint unchangedSince;  // clock time of the first sample with these values
    };

    static constexpr double kSampleInterval = 2.0;
    // A file is stable when its size and modification time have not changed for this long...
    static constexpr double kStableFor = 8.0;
    // ...within one tick's waiting window; one still changing then is looked at next tick.
    static constexpr double kWindow = 20.0;
    // An audio container that does not read to its end is waited for, until it has not changed
    // for this long: then it is taken as it is (a recording whose writer died).
    static constexpr double kTakeIncompleteAfter = 600;
    static constexpr double kYoungQtaSeconds = 600;
    static constexpr double kMinimumDuration = 0.5;

    FolderWatcher(settings::WatchedFolder folder, CaptureStateStore& store, core::Clock& clock,
                  CaptureGuards guards = CaptureGuards::defaults());

    const settings::WatchedFolder& folder() const { return folder_; }
    CaptureStateStore& store() { return store_; }
    CaptureAccess::State accessState() const;
    // Runs once in a folder's life: the marker is saved with the files it marks seen.
    int runInitialIndex();
    // One folder's tick on its own: the waiting window through the clock, then the captures.
    // A stop request defers what is not yet stable.
    std::vector<NewCapture> poll(std::stop_token stop = {});

    // Decides whether a capture id may be used (the pipeline's collision rule).
    void setIdFilter(std::function<bool(const std::string&)> usable) {
        idUsable_ = std::move(usable);
    }

    // The tick's first look: pending files that are due go to `resumed` at once (claimed), new
    // files that pass the instant guards are returned for the waiting window.
    std::vector<Candidate> scan(std::vector<NewCapture>& resumed);
    // Only the first half of scan: the pending files that are due, claimed again.
    std::vector<NewCapture> takePending();
    // A candidate that held still: the remaining guards, then the claim. Nothing when skipped
    // or deferred.
    std::optional<NewCapture> settle(const Candidate& candidate);

    // The waiting window of one tick over the candidates of many folders: samples all of them
    // every kSampleInterval and hands each batch of stable ones to `ready` as soon as they are
    // claimed and the claims are saved. Returns when none is left, at the window's end, or at a
    // stop request (the rest is deferred).
    static void watch(std::vector<Candidate> candidates, core::Clock& clock, std::stop_token stop,
                      const std::function<void(std::vector<NewCapture>)>& ready);

  private:
    std::vector<std::string> candidates() const;
    std::vector<std::string> listed() const;
    std::vector<NewCapture> takePending(const std::vector<std::string>& names);
    std::optional<core::TimePoint> timestamp(const std::filesystem::path& file) const;
    void defer(const std::string& name, const std::string& reason) const;
    void skip(const std::string& name, const std::string& reason);
    // Regular files, and symbolic links to regular files inside the folder.
    bool isRegularInside(const std::string& name, std::string& why) const;

    settings::WatchedFolder folder_;
    CaptureStateStore& store_;
    core::Clock& clock_;
    CaptureGuards guards_;
    std::function<bool(const std::string&)> idUsable_;
};

// Sends again what the Voice Memos folder already holds: its recordings are forgotten so the
// next tick finds them as new files.
namespace CaptureImport {
struct Result {
    int queued = 0;
    std::filesystem::path folder;
    int wereMarkedSeen = 0;
    // The sheet's text for this result.
    std::string text() const;
};
class Unreadable : public Error {
  public:
    Unreadable(std::filesystem::path path, std::string reason);
    const std::filesystem::path& path() const { return path_; }
    const std::string& reason() const { return reason_; }

  private:
    std::filesystem::path path_;
    std::string reason_;
};
// The names of the folder's recordings made on or after `since`'s day (all without it).
// Throws Unreadable when the folder cannot be listed.
std::vector<std::string> matching(const std::optional<core::TimePoint>& since,
                                  const settings::WatchedFolder& voiceMemos);
Result queueExisting(const std::optional<core::TimePoint>& since,
                     const settings::WatchedFolder& voiceMemos, CaptureStateStore& store);
}  // namespace CaptureImport

}  // namespace sayloft::capture
