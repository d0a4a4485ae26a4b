#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "browser/file_entry.hpp"
#include "browser/scan_commands.hpp"
#include "core/clock.hpp"
#include "core/queue.hpp"
#include "settings/settings.hpp"

namespace sayloft::browser {

// Keeps the menu's five lists of recently touched files up to date: on a timer it scans the vault,
// the workspace folders and the mounts below the remotes folder with external commands, merges,
// filters and sorts the results, and publishes them on the main queue. The last results are kept
// in a cache file that fills the lists at the next start, before the first scan ends.
class FileScanner {
  public:
    struct Lists {
        std::vector<FileEntry> today, recent, outbox, inbox, handoff;
        size_t todayCount() const { return today.size(); }
    };
    struct Options {
        std::filesystem::path cacheFile = defaultCachePath();
        ScanLimits limits;
        std::filesystem::path tempDir;  // private temporary files; the runtime dir when empty
    };

    // Loads the cache (publishing its lists) but scans nothing until start() or refresh().
    FileScanner(settings::Settings& settings, core::Clock& clock, core::MainQueue& main);
    FileScanner(settings::Settings& settings, core::Clock& clock, core::MainQueue& main,
                Options options);
    ~FileScanner();
    FileScanner(const FileScanner&) = delete;
    FileScanner& operator=(const FileScanner&) = delete;

    // A first refresh now (without the remotes; another follows 3 seconds later with them) and
    // one every `refreshInterval` seconds.
    void start();
    // Cancels the timers, ends running commands and waits for a running refresh.
    void stop();
    // Starts a background refresh unless one runs; false when one was running. With `again`, a
    // running refresh is followed by another one (what it scans may have changed meanwhile).
    bool refresh(bool again = false);
    // What the scans depend on changed: the timer takes the current interval and a refresh
    // follows (after the running one, if any).
    void settingsChanged();
    // Runs one refresh on the calling thread (commands that need the lists once). `withRemotes`
    // includes the remote scan even before a first refresh has finished.
    void refreshNow(bool withRemotes = true);
    bool isScanning() const { return scanning_; }
    // Waits until no refresh runs.
    void waitIdle();

    // The published lists (as last written on the main queue).
    Lists lists() const;
    // Whether lists were published yet (from the cache or a finished refresh).
    bool hasLists() const;
    // Whether start() set the timer going.
    bool isRunning() const;
    // Called on the main queue after each publication.
    void setOnChange(std::function<void()> onChange);

    // Every file of the vault, the workspace folders and the remotes without a date limit, for
    // the search index. May run beside a refresh.
    static std::vector<FileEntry> scanAllFiles(const settings::Settings& settings,
                                               const ScanContext& context);
    std::vector<FileEntry> scanAllFiles() const;

    // $XDG_CACHE_HOME/sayloft/scan-cache.json
    static std::filesystem::path defaultCachePath();

    struct Cache {
        std::vector<FileEntry> vaultFiles, remoteFiles;
    };
    // Nothing when the file is missing or any part of it does not decode.
    static std::optional<Cache> loadCache(const std::filesystem::path& file);
    // False (and logged) when the file could not be written.
    static bool saveCache(const std::filesystem::path& file, const std::vector<FileEntry>& vault,
                          const std::vector<FileEntry>& remotes, core::TimePoint savedAt);

  private:
    struct Published;
    void runRefresh(bool withRemotes, bool followUp);
    void publishRecent(const std::vector<FileEntry>& vault, const std::vector<FileEntry>& remotes,
                       core::TimePoint now);
    void publish(Lists lists, bool recentOnly);
    std::pair<std::vector<FileEntry>, std::vector<FileEntry>> splitByDay(
        std::vector<FileEntry> files, core::TimePoint now) const;
    ScanContext context(std::stop_token cancel) const;

    settings::Settings& settings_;
    core::Clock& clock_;
    core::MainQueue& main_;
    Options options_;
    std::shared_ptr<Published> published_;

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<FileEntry> lastVaultFiles_, lastRemoteFiles_;
    bool haveLast_ = false;
    core::TimePoint publishedDay_{};    // the day the recent lists were last split for
    std::optional<size_t> savedCache_;  // what the cache file holds, when known
    bool hasScannedRemotes_ = false;
    std::atomic<bool> scanning_{false};
    bool stopped_ = false;
    bool again_ = false;
    std::stop_source cancel_;
    std::unique_ptr<core::Timer> timer_, followUp_;
    core::SerialQueue queue_{"sayloft.browser.scanner"};
};

}  // namespace sayloft::browser
