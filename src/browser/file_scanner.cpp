#include "browser/file_scanner.hpp"

#include <fmt/format.h>

#include "browser/gather.hpp"
#include "core/files.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/places.hpp"

namespace sayloft::browser {

namespace fs = std::filesystem;

namespace {

constexpr core::Duration kFollowUpDelay = core::seconds(3);

settings::AppSettings snapshot(const settings::Settings& settings) {
    auto guard = settings.lock();
    return settings.settings();
}

std::vector<std::string> withNames(std::vector<std::string> list,
                                   std::initializer_list<const char*> names) {
    for (auto* n : names) list.emplace_back(n);
    return list;
}

std::string remotesFolderName(const settings::AppSettings& s) {
    if (!s.remotesPath || s.remotesPath->empty()) return "remotes";
    std::string name = lastComponent(*s.remotesPath);
    return name.empty() ? "remotes" : name;
}

void append(std::vector<FileEntry>& to, std::vector<FileEntry> from) {
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

}  // namespace

struct FileScanner::Published {
    std::mutex mutex;
    Lists lists;
    bool any = false;
    std::function<void()> onChange;
};

FileScanner::FileScanner(settings::Settings& settings, core::Clock& clock, core::MainQueue& main)
    : FileScanner(settings, clock, main, Options{}) {}

FileScanner::FileScanner(settings::Settings& settings, core::Clock& clock, core::MainQueue& main,
                         Options options)
    : settings_(settings),
      clock_(clock),
      main_(main),
      options_(std::move(options)),
      published_(std::make_shared<Published>()) {
    if (auto cache = loadCache(options_.cacheFile)) {
        std::lock_guard lock(mutex_);
        lastVaultFiles_ = std::move(cache->vaultFiles);
        lastRemoteFiles_ = std::move(cache->remoteFiles);
        haveLast_ = true;
        savedCache_ = fingerprint(lastRemoteFiles_, fingerprint(lastVaultFiles_));
        publishRecent(lastVaultFiles_, lastRemoteFiles_, clock_.now());
    }
}

FileScanner::~FileScanner() {
    stop();
    queue_.stop();
}

fs::path FileScanner::defaultCachePath() {
    return core::cacheDir() / "scan-cache.json";
}

ScanContext FileScanner::context(std::stop_token cancel) const {
    ScanContext c;
    c.clock = &clock_;
    c.limits = options_.limits;
    c.tempDir = options_.tempDir;
    c.cancel = std::move(cancel);
    return c;
}

void FileScanner::start() {
    double interval = snapshot(settings_).refreshInterval;
    if (!(interval > 0)) interval = 60;
    refresh();
    std::lock_guard lock(mutex_);
    if (stopped_ || timer_) return;
    timer_ =
        clock_.startTimer(core::seconds(interval), core::seconds(interval), [this] { refresh(); });
}

void FileScanner::stop() {
    std::unique_ptr<core::Timer> timer, followUp;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        timer = std::move(timer_);
        followUp = std::move(followUp_);
    }
    if (timer) timer->cancel();
    if (followUp) followUp->cancel();
    cancel_.request_stop();
    waitIdle();
}

bool FileScanner::refresh(bool again) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return false;
        if (scanning_.exchange(true)) {
            if (again) again_ = true;
            return false;
        }
    }
    queue_.async([this] {
        bool withRemotes;
        {
            std::lock_guard lock(mutex_);
            withRemotes = hasScannedRemotes_;
        }
        runRefresh(withRemotes, true);
    });
    return true;
}

void FileScanner::settingsChanged() {
    std::unique_ptr<core::Timer> old;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        if (timer_) {
            double interval = snapshot(settings_).refreshInterval;
            if (!(interval > 0)) interval = 60;
            old = std::move(timer_);
            timer_ = clock_.startTimer(core::seconds(interval), core::seconds(interval),
                                       [this] { refresh(); });
        }
    }
    // Cancelled outside the lock: a firing timer's refresh takes it.
    if (old) old->cancel();
    refresh(true);
}

bool FileScanner::isRunning() const {
    std::lock_guard lock(mutex_);
    return timer_ != nullptr;
}

bool FileScanner::hasLists() const {
    std::lock_guard lock(published_->mutex);
    return published_->any;
}

void FileScanner::refreshNow(bool withRemotes) {
    {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return !scanning_.exchange(true); });
    }
    runRefresh(withRemotes, false);
}

void FileScanner::waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return !scanning_; });
}

FileScanner::Lists FileScanner::lists() const {
    std::lock_guard lock(published_->mutex);
    return published_->lists;
}

void FileScanner::setOnChange(std::function<void()> onChange) {
    std::lock_guard lock(published_->mutex);
    published_->onChange = std::move(onChange);
}

std::pair<std::vector<FileEntry>, std::vector<FileEntry>> FileScanner::splitByDay(
    std::vector<FileEntry> files, core::TimePoint now) const {
    auto basis = snapshot(settings_).effectiveTimeBasis();
    core::TimePoint today = startOfDay(now);
    core::TimePoint tomorrow = addDays(today, 1);
    std::vector<FileEntry> todays, rest;
    for (auto& f : files) {
        if (settings_.isExcludedFile(f.filename)) continue;
        auto d = fileDate(f, basis);
        (d >= today && d < tomorrow ? todays : rest).push_back(std::move(f));
    }
    sortNewestFirst(todays, basis);
    sortNewestFirst(rest, basis);
    return {std::move(todays), std::move(rest)};
}

void FileScanner::publishRecent(const std::vector<FileEntry>& vault,
                                const std::vector<FileEntry>& remotes, core::TimePoint now) {
    std::vector<FileEntry> all = vault;
    all.insert(all.end(), remotes.begin(), remotes.end());
    auto [today, recent] = splitByDay(std::move(all), now);
    Lists lists;
    lists.today = std::move(today);
    lists.recent = std::move(recent);
    publishedDay_ = startOfDay(now);
    publish(std::move(lists), true);
}

void FileScanner::publish(Lists lists, bool recentOnly) {
    main_.async([published = published_, lists = std::move(lists), recentOnly]() mutable {
        std::function<void()> onChange;
        {
            std::lock_guard lock(published->mutex);
            if (recentOnly) {
                published->lists.today = std::move(lists.today);
                published->lists.recent = std::move(lists.recent);
            } else {
                published->lists = std::move(lists);
            }
            published->any = true;
            onChange = published->onChange;
        }
        if (onChange) onChange();
    });
}

void FileScanner::runRefresh(bool withRemotes, bool followUp) {
    auto s = snapshot(settings_);
    core::TimePoint now = clock_.now();
    int searchDays = s.effectiveSearchDays();
    core::TimePoint since = addDays(startOfDay(now), -searchDays);

    {
        // Past midnight the last lists are split again while the scan runs.
        std::lock_guard lock(mutex_);
        if (haveLast_ && publishedDay_ != startOfDay(now))
            publishRecent(lastVaultFiles_, lastRemoteFiles_, now);
    }

    std::string vault = s.vaultPath.empty() ? "" : core::expandTilde(s.vaultPath);
    auto extensions = settings_.includeExtensions();
    auto vaultExcludes = withNames(s.excludeDirs, {"_outbox", "_inbox"});
    std::vector<std::string> workspaceExcludes = {remotesFolderName(s), "Orrin"};
    workspaceExcludes.insert(workspaceExcludes.end(), s.excludeDirs.begin(), s.excludeDirs.end());
    bool remoteScan = withRemotes && s.remotesPath && !s.remotesPath->empty();
    bool birthTimes = s.effectiveTimeBasis() != settings::TimeBasis::modification;

    using Task = std::function<std::vector<FileEntry>(std::stop_token)>;
    std::vector<Task> tasks;
    tasks.push_back([&](std::stop_token stop) {
        return scanVault(vault, since, extensions, vaultExcludes, context(stop), birthTimes);
    });
    for (auto& path : settings_.additionalPaths()) {
        tasks.push_back([&, path = path.string()](std::stop_token stop) {
            return scanWorkspace(path, since, extensions, workspaceExcludes, Source::workspace,
                                 context(stop));
        });
    }
    if (remoteScan) {
        tasks.push_back([&](std::stop_token stop) {
            return scanRemotes(core::expandTilde(*s.remotesPath), extensions, context(stop));
        });
    }
    // The special folders are scanned alongside; they do not depend on the other scans.
    struct Special {
        const char* name;
        Source source;
        std::optional<int> depth;
        std::vector<std::string> excludes;
    };
    const std::vector<Special> specials =
        vault.empty()
            ? std::vector<Special>{}
            : std::vector<Special>{{"_outbox", Source::outbox, std::nullopt, {}},
                                   {"_inbox", Source::inbox, 1, {}},
                                   {".handoff", Source::handoff, std::nullopt, {"_archive"}}};
    size_t firstSpecial = tasks.size();
    for (auto& sp : specials) {
        tasks.push_back([&](std::stop_token stop) {
            return scanSpecialFolder(vault + "/" + sp.name, sp.name, sp.source, sp.depth,
                                     sp.excludes, context(stop));
        });
    }
    auto results =
        gatherWithin(std::move(tasks), options_.limits.gather, clock_, cancel_.get_token());

    if (cancel_.stop_requested()) {
        // Stopped mid-scan: what arrived is partial and must not replace the cache.
        std::lock_guard lock(mutex_);
        scanning_ = false;
        idle_.notify_all();
        return;
    }
    std::vector<FileEntry> vaultFiles, remoteFiles;
    size_t scans = firstSpecial - (remoteScan ? 1 : 0);
    for (size_t i = 0; i < scans; ++i) {
        if (results[i]) append(vaultFiles, std::move(*results[i]));
    }
    if (remoteScan && results[scans]) remoteFiles = std::move(*results[scans]);

    std::vector<FileEntry> all;
    {
        std::lock_guard lock(mutex_);
        lastVaultFiles_ = std::move(vaultFiles);
        if (remoteScan) {
            lastRemoteFiles_ = std::move(remoteFiles);
        } else if (withRemotes) {
            lastRemoteFiles_.clear();  // no remotes folder (any more)
        }
        haveLast_ = true;
        all = lastVaultFiles_;
        all.insert(all.end(), lastRemoteFiles_.begin(), lastRemoteFiles_.end());
    }
    auto [today, recent] = splitByDay(std::move(all), now);

    Lists lists;
    lists.today = std::move(today);
    lists.recent = std::move(recent);
    for (size_t i = 0; i < specials.size(); ++i) {
        auto files = std::move(results[firstSpecial + i]).value_or(std::vector<FileEntry>{});
        std::erase_if(files,
                      [&](const FileEntry& f) { return settings_.isExcludedFile(f.filename); });
        (specials[i].source == Source::outbox  ? lists.outbox
         : specials[i].source == Source::inbox ? lists.inbox
                                               : lists.handoff) = std::move(files);
    }

    {
        // An unchanged scan leaves the cache file as it is.
        std::lock_guard lock(mutex_);
        size_t scanned = fingerprint(lastRemoteFiles_, fingerprint(lastVaultFiles_));
        std::error_code ec;
        if (savedCache_ != scanned || !fs::exists(options_.cacheFile, ec)) {
            if (saveCache(options_.cacheFile, lastVaultFiles_, lastRemoteFiles_, now))
                savedCache_ = scanned;
        }
        publishedDay_ = startOfDay(now);
    }
    publish(std::move(lists), false);

    {
        std::lock_guard lock(mutex_);
        hasScannedRemotes_ = true;
        // The first refresh skips the remotes to fill the menu fast; the next one includes them.
        if (followUp && !withRemotes && !stopped_ && !followUp_)
            followUp_ =
                clock_.startTimer(kFollowUpDelay, core::Duration::zero(), [this] { refresh(); });
        if (again_ && !stopped_) {
            // Asked for while this one ran: another refresh, keeping the scanning state.
            again_ = false;
            queue_.async([this] { runRefresh(true, false); });
            return;
        }
        scanning_ = false;
    }
    idle_.notify_all();
}

std::vector<FileEntry> FileScanner::scanAllFiles(const settings::Settings& settings,
                                                 const ScanContext& context) {
    auto s = snapshot(settings);
    auto extensions = settings.includeExtensions();
    std::vector<FileEntry> all;
    if (!s.vaultPath.empty())
        append(all, scanVault(core::expandTilde(s.vaultPath), kDistantPast, extensions,
                              withNames(s.excludeDirs, {"_outbox", "_inbox"}), context,
                              s.effectiveTimeBasis() != settings::TimeBasis::modification));
    std::vector<std::string> workspaceExcludes = {remotesFolderName(s), "Orrin"};
    workspaceExcludes.insert(workspaceExcludes.end(), s.excludeDirs.begin(), s.excludeDirs.end());
    for (auto& path : settings.additionalPaths())
        append(all, scanWorkspace(path.string(), kDistantPast, extensions, workspaceExcludes,
                                  Source::workspace, context));
    if (s.remotesPath && !s.remotesPath->empty())
        append(all, scanRemotes(core::expandTilde(*s.remotesPath), extensions, context));
    std::erase_if(all, [&](const FileEntry& f) { return settings.isExcludedFile(f.filename); });
    return all;
}

std::vector<FileEntry> FileScanner::scanAllFiles() const {
    return scanAllFiles(settings_, context(cancel_.get_token()));
}

std::optional<FileScanner::Cache> FileScanner::loadCache(const fs::path& file) {
    auto text = core::readFile(file);
    if (!text) return std::nullopt;
    try {
        auto json = core::Json::parse(*text);
        Cache cache;
        for (auto& e : json.at("vaultFiles")) cache.vaultFiles.push_back(entryFromJson(e));
        for (auto& e : json.at("remoteFiles")) cache.remoteFiles.push_back(entryFromJson(e));
        return cache;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

namespace {

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += fmt::format("\\u{:04x}", c);
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

// One cache entry, pretty-printed with sorted keys like the rest of the file. Written by hand:
// a vault of tens of thousands of files made the generic JSON writer the slowest step of a refresh.
void appendEntry(std::string& out, const FileEntry& e) {
    auto field = [&](const char* key) {
        out += "      \"";
        out += key;
        out += "\": ";
    };
    auto end = [&](bool last) { out += last ? "\n" : ",\n"; };
    out += "    {\n";
    field("creationDate");
    out += fmt::format("{}", referenceSeconds(e.creationDate));
    end(false);
    if (e.domain) {
        field("domain");
        appendJsonString(out, *e.domain);
        end(false);
    }
    if (e.fileType) {
        field("fileType");
        appendJsonString(out, *e.fileType);
        end(false);
    }
    field("filename");
    appendJsonString(out, e.filename);
    end(false);
    if (e.filenameDate) {
        field("filenameDate");
        out += fmt::format("{}", referenceSeconds(*e.filenameDate));
        end(false);
    }
    field("fullPath");
    appendJsonString(out, fileUrl(e.fullPath));
    end(false);
    field("id");
    appendJsonString(out, e.id);
    end(false);
    field("modificationDate");
    out += fmt::format("{}", referenceSeconds(e.modificationDate));
    end(false);
    field("parentFolder");
    appendJsonString(out, e.parentFolder);
    end(false);
    field("relativePath");
    appendJsonString(out, e.relativePath);
    end(false);
    field("size");
    out += std::to_string(e.size);
    end(false);
    field("source");
    appendJsonString(out, sourceName(e.source));
    end(true);
    out += "    }";
}

void appendList(std::string& out, const char* key, const std::vector<FileEntry>& files) {
    out += "  \"";
    out += key;
    out += "\": [";
    if (files.empty()) {
        out += "]";
        return;
    }
    out += "\n";
    for (size_t i = 0; i < files.size(); ++i) {
        appendEntry(out, files[i]);
        out += i + 1 < files.size() ? ",\n" : "\n";
    }
    out += "  ]";
}

}  // namespace

bool FileScanner::saveCache(const fs::path& file, const std::vector<FileEntry>& vault,
                            const std::vector<FileEntry>& remotes, core::TimePoint savedAt) {
    try {
        std::string out = "{\n";
        out.reserve(400 * (vault.size() + remotes.size()) + 100);
        appendList(out, "remoteFiles", remotes);
        out += fmt::format(",\n  \"savedAt\": {},\n", referenceSeconds(savedAt));
        appendList(out, "vaultFiles", vault);
        out += "\n}\n";
        core::writeAtomically(file, out, 0600);
        return true;
    } catch (const std::exception& e) {
        core::log("scanner", "scan cache not written: {}", e.what());
        return false;
    }
}

}  // namespace sayloft::browser
