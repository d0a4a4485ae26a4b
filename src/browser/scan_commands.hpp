#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "browser/file_entry.hpp"
#include "core/clock.hpp"

namespace sayloft::browser {

// Limits of the external commands. Folders may sit on slow or hung network mounts, so every
// command the scans run is bounded; whatever has arrived when a limit strikes is used.
struct ScanLimits {
    int vaultTimeout = 10;                             // `timeout` around the vault find
    core::Duration vaultWatchdog = core::seconds(20);  // then the shell is terminated
    int workspaceTimeout = 20;                         // `timeout` around a workspace find
    core::Duration workspaceWatchdog = core::seconds(25);
    core::Duration specialFolderLimit = core::seconds(20);
    core::Duration statLimit = core::seconds(30);  // one batch-stat run
    core::Duration mountProbe = core::seconds(2);
    core::Duration mountFind = core::seconds(30);
    core::Duration allMounts = core::seconds(35);
    core::Duration gather = core::seconds(50);  // all scans of one refresh
    size_t statBatch = 4000;                    // paths per stat process
    size_t workspaceMaxPaths = 2000;
};

// What every scan needs: the clock its limits are measured on, where private temporary files
// go, and a token that ends the scan's running commands early.
struct ScanContext {
    core::Clock* clock = nullptr;  // the system clock when null
    ScanLimits limits;
    std::filesystem::path tempDir;  // core::runtimeDir() when empty
    std::stop_token cancel;

    core::Clock& clockRef() const;
    std::filesystem::path tempFolder() const;
};

struct StatTimes {
    int64_t birth = 0;     // seconds since 1970; 0 when the file system does not keep it
    int64_t modified = 0;  // 0 together with birth when the path could not be read
    bool operator==(const StatTimes&) const = default;
};

// The target of a symbolic link (relative targets resolved against the link's folder), else the
// path itself.
std::string resolveSymlink(const std::string& path, const ScanContext& context);

// Birth and modification times of each path, in order, one entry per path, {0, 0} where stat
// failed. One stat process per `statBatch` paths; the list travels NUL-separated.
std::vector<StatTimes> batchStat(const std::vector<std::string>& paths, const ScanContext& context);

// Files of the vault changed since `since`, below it (hidden paths and excluded folders left out).
// Their creation dates are read only with `birthTimes` (else they equal the modification dates):
// from find where it can, else by a batch stat fed by find as it goes.
std::vector<FileEntry> scanVault(const std::string& vaultPath, core::TimePoint since,
                                 const std::set<std::string>& includeExtensions,
                                 const std::vector<std::string>& excludeDirs,
                                 const ScanContext& context, bool birthTimes = true);

// Files of one workspace folder changed since `since`; at most `workspaceMaxPaths` of them.
std::vector<FileEntry> scanWorkspace(const std::string& folder, core::TimePoint since,
                                     const std::set<std::string>& includeExtensions,
                                     const std::vector<std::string>& excludeDirs, Source source,
                                     const ScanContext& context);

// Every file below one of the vault's special folders (`_inbox`, `_outbox`, `.handoff`), newest
// first; hidden names and `excludeNames` are pruned, README.md is left out.
std::vector<FileEntry> scanSpecialFolder(const std::string& folder, const std::string& folderName,
                                         Source source, std::optional<int> maxDepth,
                                         const std::vector<std::string>& excludeNames,
                                         const ScanContext& context);

// Files on the mounts below the remotes folder, dated by their names only (no stat over the
// network). A mount that does not answer its probe in time is skipped.
std::vector<FileEntry> scanRemotes(const std::string& remotesFolder,
                                   const std::set<std::string>& includeExtensions,
                                   const ScanContext& context);

// The vault find's command line, every value quoted: "<birth>\t<modified>\t<path>\0" for each
// file goes to `output`.
std::string vaultFindCommand(const std::string& root, const std::set<std::string>& extensions,
                             const std::vector<std::string>& excludeDirs, int days,
                             int timeoutSeconds, const std::filesystem::path& output);

// Whole days between `since` and `now`, plus one: the find's -mtime window.
int dayWindow(core::TimePoint since, core::TimePoint now);

}  // namespace sayloft::browser
