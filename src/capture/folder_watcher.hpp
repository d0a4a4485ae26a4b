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
    std::function<std::optional<std::uint64_t>(const std::filesystem::path&)> size;
    std::function<std::optional<core::TimePoint>(const std::filesystem::path&)> modified;
    std::function<std::optional<double>(const std::filesystem::path&)> duration;

    static CaptureGuards defaults();
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
    };

    static constexpr double kSampleInterval = 2.0;
    static constexpr int kSampleCount = 5;
    static constexpr double kYoungQtaSeconds = 600;
    static constexpr double kMinimumDuration = 0.5;

    FolderWatcher(settings::WatchedFolder folder, CaptureStateStore& store, core::Clock& clock,
                  CaptureGuards guards = CaptureGuards::defaults());

    const settings::WatchedFolder& folder() const { return folder_; }
    CaptureAccess::State accessState() const;
    int runInitialIndex();
    // Blocks for the size samples (through the clock). A stop request defers the current file.
    std::vector<NewCapture> poll(std::stop_token stop = {});

  private:
    std::vector<std::string> candidates() const;
    std::optional<core::TimePoint> timestamp(const std::filesystem::path& file) const;
    void defer(const std::string& name, const std::string& reason) const;
    void skip(const std::string& name, const std::string& reason);

    settings::WatchedFolder folder_;
    CaptureStateStore& store_;
    core::Clock& clock_;
    CaptureGuards guards_;
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
Result queueExisting(const std::optional<core::TimePoint>& since,
                     const settings::WatchedFolder& voiceMemos, CaptureStateStore& store);
}  // namespace CaptureImport

}  // namespace sayloft::capture
