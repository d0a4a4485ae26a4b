#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "browser/file_entry.hpp"
#include "browser/file_scanner.hpp"
#include "browser/vault_menu.hpp"
#include "core/clock.hpp"
#include "core/json.hpp"
#include "core/queue.hpp"
#include "settings/settings.hpp"

namespace sayloft::browser {

// What a request says back while it runs: lines for the user's terminal.
struct BrowserOutput {
    std::function<void(const std::string&)> out;
    std::function<void(const std::string&)> err;
};

// The vault browser as front-ends reach it: the file scanner and the searches over its lists,
// and the three requests `menu`, `search` and `trash`, each answered as JSON. The engine keeps
// one whose scanner runs on a timer; a command line without an engine makes one for a single
// request, which then scans once.
class VaultBrowser {
  public:
    VaultBrowser(settings::Settings& settings, core::Clock& clock, core::MainQueue& main,
                 FileScanner::Options options = {});
    ~VaultBrowser();
    VaultBrowser(const VaultBrowser&) = delete;
    VaultBrowser& operator=(const VaultBrowser&) = delete;

    // The scanner's timer and first refresh.
    void start();
    void stop();
    // The settings were saved or read again: the scans take what they say now.
    void settingsChanged();
    // Called on the main queue whenever the lists differ from the ones published before.
    void setOnChange(std::function<void()> onChange);

    // Handles "menu", "search" and "trash" (params as the control protocol gives them). With
    // params "print": "text" or "json", the answer goes to `output` as the command line shows it
    // instead. Returns {"exitCode": n, ...what the method answers}.
    core::Json handle(const std::string& method, const core::Json& params,
                      const BrowserOutput& output);
    static bool handles(const std::string& method);

    // {"items": [...]}: Today, Outbox, Inbox, Handoff and Recent as the menu groups them.
    core::Json menu();
    // {"query": ..., "results": [...]}: newest first, at most `limit` (0: the index's own limit).
    // `everyFile` searches every file, not only the recent ones.
    core::Json search(const std::string& query, size_t limit, bool everyFile);
    std::vector<FileEntry> searchEntries(const std::string& query, size_t limit, bool everyFile);

    FileScanner& scanner() { return scanner_; }

  private:
    // The lists to answer from: the timer's latest, else a refresh made now.
    FileScanner::Lists currentLists();
    std::vector<MenuItem> menuRows();
    void flushMain();
    void listsPublished();

    settings::Settings& settings_;
    core::Clock& clock_;
    core::MainQueue& main_;
    FileScanner scanner_;

    std::mutex mutex_;
    std::function<void()> onChange_;
    size_t fingerprint_ = 0;
    bool published_ = false;
    // Every file without a date limit, kept for searches over every file until the lists change.
    std::optional<std::vector<FileEntry>> everyFile_;
};

// Moves a file of the vault or a workspace folder to the trash: {"ok": true, "trashedTo": ...},
// or {"ok": false, "error": ...} (a file elsewhere is refused and stays where it is).
core::Json trashListedFile(const settings::Settings& settings, const std::string& path,
                           core::TimePoint now);

// True when `path` lies below the vault or one of the workspace folders.
bool insideListedFolders(const settings::Settings& settings, const std::filesystem::path& path);

}  // namespace sayloft::browser
