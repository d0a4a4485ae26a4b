#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "core/error.hpp"
#include "settings/settings.hpp"

namespace sayloft::app {

struct VaultCandidate {
    enum class Source { obsidianRegistry, filesystem };

    std::string id;    // the resolved path
    std::string path;  // symbolic links resolved
    std::string name;  // the folder's last path component
    Source source = Source::filesystem;
    bool hasLoomkitMarkers = false;             // CLAUDE.md, _inbox or _tasks.yaml
    bool hasOutbox = false;                     // _outbox
    std::optional<core::TimePoint> lastOpened;  // registry only

    bool operator==(const VaultCandidate&) const = default;
};

// "Obsidian" or "found on disk".
std::string describe(VaultCandidate::Source source);

// A vault that could not be created; what() is the user's text.
class VaultError : public Error {
  public:
    using Error::Error;
};

// Finds the vaults on this computer: Obsidian's own registry (native, Flatpak and Snap installs)
// and a bounded search of the home folder for ".obsidian" folders.
class VaultDetector {
  public:
    static constexpr const char* kToolkitAddress = "https://github.com/loomkit/loomkit";

    struct Options {
        std::vector<std::filesystem::path> registryFiles;  // empty: core::obsidianRegistryFiles()
        std::vector<std::filesystem::path> searchRoots;    // empty: home, Obsidian's iCloud folder
        int maxDepth = 6;  // a ".obsidian" folder at most this many levels below a root
        core::Duration timeLimit = core::seconds(5);
        core::Clock* clock = nullptr;  // systemClock() when null
    };

    VaultDetector() : VaultDetector(Options{}) {}
    explicit VaultDetector(Options options);

    std::vector<VaultCandidate> fromObsidianRegistry() const;
    // Stops at the time limit; what was found until then counts.
    std::vector<VaultCandidate> fromFilesystemScan() const;
    // Registry first, duplicates dropped, then sorted: dated ones newest first, then registry
    // before disk, then by name. Blocking: run it off the main thread.
    std::vector<VaultCandidate> detectAll() const;
    // True when the last scan stopped at its time limit.
    bool scanWasCut() const { return scanCut_; }

    // A new vault `name` in `parentDir` ("~" expanded) with its "_outbox" and, when asked, a
    // CLAUDE.md describing the layout. Throws VaultError.
    static std::filesystem::path createNewVault(const std::string& parentDir,
                                                const std::string& name, bool writeClaudeMdStub);
    static void ensureOutbox(const std::filesystem::path& vaultPath);
    static std::string claudeMdStub(const std::string& name);
    static VaultCandidate candidateFor(const std::filesystem::path& folder,
                                       VaultCandidate::Source source);

  private:
    Options options_;
    mutable bool scanCut_ = false;
};

// Stores the choice: vaultPath ("~" expanded), vaultName, no additional paths; ensures the
// outbox. Throws Error when the settings file could not be written, or exists but cannot be read
// (it is never replaced then: it may hold the user's other settings).
void commitVault(settings::Settings& settings, const std::string& path, const std::string& name);

}  // namespace sayloft::app
