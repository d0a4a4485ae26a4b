#include "app/onboarding/vault_detector.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <set>

#include "core/files.hpp"
#include "core/json.hpp"
#include "core/places.hpp"

namespace sayloft::app {

namespace fs = std::filesystem;

std::string describe(VaultCandidate::Source source) {
    return source == VaultCandidate::Source::obsidianRegistry ? "Obsidian" : "found on disk";
}

namespace {

fs::path resolved(const fs::path& path) {
    std::error_code ec;
    auto real = fs::canonical(path, ec);
    return ec ? path : real;
}

bool isThere(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::string lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Folders the search never enters: trash, dependency trees, repositories, archives, caches.
bool skipped(const fs::path& dir) {
    const std::string name = dir.filename().string();
    if (name == ".Trash" || name.starts_with(".Trash-") || name == "node_modules" ||
        name == ".git" || name == ".archive" || name == ".obsidian")
        return true;
    if (name == "Caches" && dir.parent_path().filename() == "Library") return true;
    return dir == core::xdgDataHome() / "Trash";
}

}  // namespace

VaultDetector::VaultDetector(Options options) : options_(std::move(options)) {
    if (options_.registryFiles.empty()) options_.registryFiles = core::obsidianRegistryFiles();
    if (options_.searchRoots.empty())
        options_.searchRoots = {core::homeDir(), core::legacy::obsidianCloudDir()};
    if (!options_.clock) options_.clock = &core::systemClock();
}

VaultCandidate VaultDetector::candidateFor(const fs::path& folder, VaultCandidate::Source source) {
    const fs::path path = resolved(folder);
    VaultCandidate c;
    c.id = c.path = path.string();
    c.name = path.filename().string();
    c.source = source;
    c.hasOutbox = isThere(path / "_outbox");
    c.hasLoomkitMarkers =
        isThere(path / "CLAUDE.md") || isThere(path / "_inbox") || isThere(path / "_tasks.yaml");
    return c;
}

std::vector<VaultCandidate> VaultDetector::fromObsidianRegistry() const {
    std::vector<VaultCandidate> out;
    for (auto& file : options_.registryFiles) {
        auto text = core::readFile(file);
        if (!text) continue;
        auto json = core::Json::parse(*text, nullptr, false);
        if (!json.is_object() || !json.contains("vaults") || !json["vaults"].is_object()) continue;
        for (auto& [key, vault] : json["vaults"].items()) {
            if (!vault.is_object() || !vault.contains("path") || !vault["path"].is_string())
                continue;
            const fs::path folder = vault["path"].get<std::string>();
            std::error_code ec;
            if (!fs::is_directory(folder, ec)) continue;
            auto c = candidateFor(folder, VaultCandidate::Source::obsidianRegistry);
            if (auto ts = vault.find("ts"); ts != vault.end() && ts->is_number()) {
                // Whole milliseconds and the fraction apart: a double cannot hold the
                // nanoseconds since 1970 exactly.
                const double ms = ts->get<double>();
                const double whole = std::floor(ms);
                c.lastOpened = core::TimePoint{} + std::chrono::milliseconds(int64_t(whole)) +
                               std::chrono::nanoseconds(int64_t(std::llround((ms - whole) * 1e6)));
            }
            out.push_back(std::move(c));
        }
    }
    return out;
}

std::vector<VaultCandidate> VaultDetector::fromFilesystemScan() const {
    std::vector<VaultCandidate> out;
    scanCut_ = false;
    const auto deadline = options_.clock->now() + options_.timeLimit;
    // Depth-first, one folder listing at a time, so the time limit is checked often.
    struct Pending {
        fs::path dir;
        int depth;
    };
    for (auto& root : options_.searchRoots) {
        std::error_code ec;
        if (!fs::is_directory(root, ec)) continue;
        std::vector<Pending> stack{{root, 0}};
        while (!stack.empty()) {
            if (options_.clock->now() >= deadline) {
                scanCut_ = true;
                return out;
            }
            Pending current = std::move(stack.back());
            stack.pop_back();
            std::vector<fs::path> subdirs;
            for (auto it = fs::directory_iterator(
                     current.dir, fs::directory_options::skip_permission_denied, ec);
                 !ec && it != fs::directory_iterator(); it.increment(ec)) {
                std::error_code typeError;
                if (!it->is_directory(typeError) || it->is_symlink(typeError)) continue;
                const fs::path child = it->path();
                if (child.filename() == ".obsidian" && current.depth + 1 <= options_.maxDepth)
                    out.push_back(candidateFor(current.dir, VaultCandidate::Source::filesystem));
                if (current.depth + 1 < options_.maxDepth && !skipped(child))
                    subdirs.push_back(child);
            }
            ec.clear();
            std::sort(subdirs.rbegin(), subdirs.rend());
            for (auto& d : subdirs) stack.push_back({d, current.depth + 1});
        }
    }
    return out;
}

std::vector<VaultCandidate> VaultDetector::detectAll() const {
    std::vector<VaultCandidate> all;
    std::set<std::string> seen;
    for (auto list : {fromObsidianRegistry(), fromFilesystemScan()})
        for (auto& c : list)
            if (seen.insert(c.id).second) all.push_back(c);
    std::stable_sort(all.begin(), all.end(), [](const VaultCandidate& a, const VaultCandidate& b) {
        if (a.lastOpened && b.lastOpened) return *a.lastOpened > *b.lastOpened;
        if (a.lastOpened || b.lastOpened) return bool(a.lastOpened);
        if (a.source != b.source) return a.source == VaultCandidate::Source::obsidianRegistry;
        return std::strcoll(lower(a.name).c_str(), lower(b.name).c_str()) < 0;
    });
    return all;
}

std::string VaultDetector::claudeMdStub(const std::string& name) {
    return "# " + name +
           "\n\n"
           "Vault set up by sayloft for use with the [loomkit](" +
           kToolkitAddress +
           ") toolkit.\n\n"
           "## Structure\n\n"
           "- `_outbox/` — generated PDFs and shareable exports (populated by md2pdf, sayloft)\n"
           "- `_inbox/.audio/` — raw audio captured from Voice Memos (paired with "
           "_inbox/<id>.md)\n"
           "- `_inbox/` — quick captures, unprocessed content (populated by /inbox skill)\n"
           "- `_tasks.yaml` — task tracker (populated by /tasks skill)\n\n"
           "Add project folders alongside these as needed.";
}

fs::path VaultDetector::createNewVault(const std::string& parentDir, const std::string& name,
                                       bool writeClaudeMdStub) {
    const std::string parent = core::expandTilde(parentDir);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        throw VaultError("A vault name is one folder name, without \"/\"");
    const fs::path vault = fs::path(parent) / name;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(vault, ec)))
        throw VaultError("A folder named '" + name + "' already exists at " + parent);
    fs::create_directories(vault, ec);
    if (ec) throw VaultError("Could not create " + vault.string() + ": " + ec.message());
    fs::create_directory(vault / "_outbox", ec);
    if (ec)
        throw VaultError("Could not create " + (vault / "_outbox").string() + ": " + ec.message());
    if (writeClaudeMdStub) {
        try {
            core::writeAtomically(vault / "CLAUDE.md", claudeMdStub(name));
        } catch (const std::exception& e) {
            throw VaultError("Could not write " + (vault / "CLAUDE.md").string() + ": " + e.what());
        }
    }
    return vault;
}

void VaultDetector::ensureOutbox(const fs::path& vaultPath) {
    std::error_code ec;
    fs::create_directories(vaultPath / "_outbox", ec);
}

void commitVault(settings::Settings& settings, const std::string& path, const std::string& name) {
    std::error_code ec;
    if (fs::exists(settings.configPath(), ec) &&
        !settings::Settings(settings.configPath()).loadedFromFile())
        throw Error("The settings file " + settings.configPath().string() +
                    " cannot be read, so it is left as it is; repair it or move it away first");
    const std::string expanded = core::expandTilde(path);
    VaultDetector::ensureOutbox(expanded);
    {
        auto guard = settings.lock();
        settings.settings().vaultPath = expanded;
        settings.settings().vaultName = name;
        settings.settings().additionalPaths.clear();
    }
    settings.save();
    // save() is silent; read the file back to know it holds the choice.
    settings::Settings check(settings.configPath());
    if (!check.loadedFromFile() || check.settings().vaultPath != expanded)
        throw Error("Could not write the settings file " + settings.configPath().string());
}

}  // namespace sayloft::app
