#include "browser/scan_commands.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>

#include <fmt/format.h>

#include "browser/file_classifier.hpp"
#include "browser/gather.hpp"
#include "core/files.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/process.hpp"
#include "core/text.hpp"

namespace sayloft::browser {

namespace fs = std::filesystem;
using core::shellQuote;

namespace {

constexpr const char* kArea = "scanner";

// A private temporary file (mode 0600, unique name), removed on destruction.
class PrivateTempFile {
  public:
    PrivateTempFile(const fs::path& dir, const std::string& prefix) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        std::string pattern = (dir / (prefix + "-XXXXXX")).string();
        int fd = ::mkstemp(pattern.data());
        if (fd < 0) throw core::FileError("mkstemp", errno);
        ::close(fd);
        path_ = pattern;
    }
    ~PrivateTempFile() { ::unlink(path_.c_str()); }
    PrivateTempFile(const PrivateTempFile&) = delete;
    PrivateTempFile& operator=(const PrivateTempFile&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

void writeAll(const fs::path& path, std::string_view bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) throw core::FileError("open", errno);
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            throw core::FileError("write", e);
        }
        bytes.remove_prefix(size_t(n));
    }
    ::close(fd);
}

std::vector<std::string> splitRecords(std::string_view text, char separator) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

int64_t parseInteger(std::string_view text) {
    text = core::trimWhitespace(text);
    if (text.empty()) return 0;
    bool negative = text[0] == '-';
    if (negative) text.remove_prefix(1);
    int64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    // "1700000000.25" counts its whole seconds; anything else that is not a number is 0.
    if (i == 0 || (i < text.size() && text[i] != '.')) return 0;
    return negative ? -value : value;
}

core::TimePoint fromUnix(int64_t seconds) {
    return core::TimePoint{std::chrono::seconds(seconds)};
}

core::ProcessResult runShell(const std::string& command, const ScanContext& context,
                             core::Duration limit, bool captureOutput) {
    core::ProcessOptions o;
    o.argv = {"/bin/bash", "-c", command};
    o.stdoutTo = captureOutput ? core::ProcessOutput::captured() : core::ProcessOutput::discarded();
    o.stderrTo = core::ProcessOutput::discarded();
    o.timeLimit = limit;
    o.killGrace = core::seconds(1);
    o.clock = &context.clockRef();
    o.cancel = context.cancel;
    return core::runProcess(o);
}

// The first `timeout` (or `gtimeout`) on PATH, looked up once per process.
const std::string& timeoutProgram() {
    static const std::string program = [] {
        const char* path = std::getenv("PATH");
        for (const char* name : {"timeout", "gtimeout"}) {
            std::string_view rest = path ? path : "";
            while (!rest.empty()) {
                auto colon = rest.find(':');
                std::string dir(rest.substr(0, colon));
                rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
                if (dir.empty()) continue;
                auto candidate = fs::path(dir) / name;
                if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
            }
        }
        return std::string();
    }();
    return program;
}

// Runs the following command under `timeout` for that many seconds when one is installed, and
// without a limit otherwise. --foreground keeps it in our process group, so that ending the
// shell ends it too.
std::string timeLimiter(int seconds) {
    const auto& program = timeoutProgram();
    if (program.empty()) return "";
    return fmt::format("{} --foreground {} ", shellQuote(program), seconds);
}

std::string extensionTests(const std::set<std::string>& extensions) {
    std::string out;
    for (auto& e : extensions) {
        if (!out.empty()) out += " -o ";
        out += "-name " + shellQuote("*." + lowerText(e));
    }
    return out;
}

// Paths given to find must not look like options.
std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::error_code ec;
    return fs::absolute(path, ec).string();
}

std::string withoutPrefix(const std::string& path, const std::string& root) {
    std::string prefix = root;
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    if (path.compare(0, prefix.size(), prefix) == 0) return path.substr(prefix.size());
    return path;
}

std::string directoryPart(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

FileEntry makeEntry(const std::string& path, const std::string& relative, Source source) {
    FileEntry e;
    e.id = newUuid();
    e.filename = displayText(lastComponent(path));
    e.relativePath = displayText(relative);
    e.parentFolder = displayText(parentName(path));
    e.fullPath = path;
    e.source = source;
    e.size = 0;
    return e;
}

void classifyInto(FileEntry& e) {
    auto c = FileClassifier::classify(e.filename, e.relativePath);
    e.filenameDate = c.filenameDate;
    e.domain = c.domain;
    e.fileType = c.fileType;
}

bool hasIncludedExtension(std::string_view path, const std::set<std::string>& lowerExtensions) {
    std::string lower = lowerText(path);
    for (auto& e : lowerExtensions) {
        std::string suffix = "." + e;
        if (lower.size() >= suffix.size() &&
            lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0)
            return true;
    }
    return false;
}

}  // namespace

core::Clock& ScanContext::clockRef() const {
    return clock ? *clock : core::systemClock();
}

fs::path ScanContext::tempFolder() const {
    return tempDir.empty() ? core::runtimeDir() : tempDir;
}

int dayWindow(core::TimePoint since, core::TimePoint now) {
    // In whole seconds first: the distant past lies further back than nanoseconds reach.
    auto wholeSeconds = [](core::TimePoint t) {
        return std::chrono::time_point_cast<std::chrono::seconds>(t).time_since_epoch().count();
    };
    int64_t seconds = wholeSeconds(now) - wholeSeconds(since);
    if (seconds < 0) seconds = 0;
    return int(std::min<int64_t>(seconds / 86400, 1'000'000)) + 1;
}

std::string resolveSymlink(const std::string& path, const ScanContext& context) {
    core::ProcessOptions o;
    o.argv = {"readlink", "--", path};
    o.stderrTo = core::ProcessOutput::discarded();
    o.timeLimit = core::seconds(5);
    o.killGrace = core::seconds(1);
    o.clock = &context.clockRef();
    o.cancel = context.cancel;
    try {
        auto r = core::runProcess(o);
        std::string target(core::trimChars(r.out, "\n"));
        if (!r.succeeded() || target.empty()) return path;
        if (target[0] != '/') target = directoryPart(path) + "/" + target;
        return target;
    } catch (const core::ProcessError&) {
        return path;
    }
}

namespace {

// "xargs ... stat ..." reading a NUL-separated list on its standard input. stat skips a path it
// cannot read; printing the name ("%n") lets its records be matched to the list in order.
std::string statCommand(const ScanContext& context) {
    return fmt::format("xargs -0 -r -n {} -s 1048576 stat --printf '%W %Y %n\\0' --",
                       std::max<size_t>(context.limits.statBatch, 1));
}

// One entry per path, in order, from the stat records; {0, 0} where a path has none.
std::vector<StatTimes> matchStatRecords(const std::vector<std::string>& paths,
                                        std::string_view output) {
    std::vector<StatTimes> times(paths.size());
    size_t i = 0;
    for (std::string_view rest = output; !rest.empty() && i < paths.size();) {
        size_t end = std::min(rest.find('\0'), rest.size());
        std::string_view record = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        size_t first = record.find(' ');
        size_t second = first == std::string_view::npos ? first : record.find(' ', first + 1);
        if (second == std::string_view::npos) continue;
        std::string_view name = record.substr(second + 1);
        // stat went through the list in order and left out the paths it could not read.
        size_t at = i;
        while (at < paths.size() && paths[at] != name) ++at;
        if (at == paths.size()) continue;
        times[at] = {parseInteger(record.substr(0, first)),
                     parseInteger(record.substr(first + 1, second - first - 1))};
        i = at + 1;
    }
    return times;
}

}  // namespace

std::vector<StatTimes> batchStat(const std::vector<std::string>& paths,
                                 const ScanContext& context) {
    if (paths.empty()) return {};
    std::string list;
    for (auto& p : paths) {
        list += p;
        list += '\0';
    }
    try {
        PrivateTempFile in(context.tempFolder(), "sayloft-paths");
        PrivateTempFile out(context.tempFolder(), "sayloft-stat");
        writeAll(in.path(), list);
        runShell(statCommand(context) + " < " + shellQuote(in.path().string()) + " > " +
                     shellQuote(out.path().string()) + " 2>/dev/null",
                 context, context.limits.statLimit, false);
        if (auto output = core::readFile(out.path())) return matchStatRecords(paths, *output);
    } catch (const std::exception& e) {
        core::log(kArea, "batch stat failed: {}", e.what());
    }
    return std::vector<StatTimes>(paths.size());
}

namespace {

// The find expression shared by the vault and workspace scans: each wanted file is printed as
// "<birth>\t<modified>\t<path>\0" (GNU find prints a negative birth time where it cannot read
// one), so that everything a file needs comes from find's own stat of it, with no second pass.
// Hidden and excluded folders are pruned. The file tests come first: find tries name tests
// before type tests, so a prune test placed first would match every file against every
// excluded name.
std::string findFilesCommand(const std::string& root, const std::set<std::string>& extensions,
                             const std::vector<std::string>& excludeDirs, int days,
                             int timeoutSeconds,
                             const std::string& print = "-printf '%B@\\t%T@\\t%p\\0'") {
    std::string folders = "-name '.*'";
    for (auto& d : excludeDirs) folders += " -o -name " + shellQuote(d);
    return timeLimiter(timeoutSeconds) + "find " + shellQuote(root) +
           " -mindepth 1 \\( -type f -not -name '.*' \\( " + extensionTests(extensions) +
           " \\) -mtime -" + std::to_string(days) + " " + print + " \\) -o \\( -type d \\( " +
           folders + " \\) -prune \\)";
}

struct FoundFile {
    std::string path;
    int64_t birth = 0;  // 0 when find could not read it
    int64_t modified = 0;
};

std::vector<FoundFile> parseFound(std::string_view output) {
    std::vector<FoundFile> files;
    files.reserve(std::count(output.begin(), output.end(), '\0'));
    for (std::string_view rest = output; !rest.empty();) {
        size_t end = std::min(rest.find('\0'), rest.size());
        std::string_view record = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        size_t first = record.find('\t');
        size_t second = first == std::string_view::npos ? first : record.find('\t', first + 1);
        if (second == std::string_view::npos || second + 1 == record.size()) continue;
        FoundFile f;
        f.birth = std::max<int64_t>(parseInteger(record.substr(0, first)), 0);
        f.modified = parseInteger(record.substr(first + 1, second - first - 1));
        f.path = record.substr(second + 1);
        files.push_back(std::move(f));
    }
    return files;
}

}  // namespace

namespace {

// Whether this computer's find prints birth times (GNU find does where it reads them through
// statx); asked once per process, of the private temporary folder.
bool findReadsBirthTimes(const ScanContext& context) {
    static std::once_flag once;
    static bool reads = false;
    std::call_once(once, [&] {
        core::ProcessOptions o;
        o.argv = {"find", context.tempFolder().string(), "-maxdepth", "0", "-printf", "%B@"};
        o.stderrTo = core::ProcessOutput::discarded();
        o.timeLimit = core::seconds(5);
        o.killGrace = core::seconds(1);
        o.clock = &context.clockRef();
        try {
            reads = parseInteger(core::runProcess(o).out) > 0;
        } catch (const std::exception&) {
            reads = false;
        }
    });
    return reads;
}

}  // namespace

std::string vaultFindCommand(const std::string& root, const std::set<std::string>& extensions,
                             const std::vector<std::string>& excludeDirs, int days,
                             int timeoutSeconds, const fs::path& output) {
    return findFilesCommand(root, extensions, excludeDirs, days, timeoutSeconds) + " > " +
           shellQuote(output.string()) + " 2>/dev/null";
}

std::vector<FileEntry> scanVault(const std::string& vaultPath, core::TimePoint since,
                                 const std::set<std::string>& includeExtensions,
                                 const std::vector<std::string>& excludeDirs,
                                 const ScanContext& context, bool birthTimes) {
    if (vaultPath.empty() || includeExtensions.empty()) return {};
    std::string vault = absolute(vaultPath);
    std::string root = resolveSymlink(vault, context);
    // Where find cannot read creation dates, find hands each path on to the batch stat as it
    // goes, so that both run at once.
    std::vector<FoundFile> found;
    try {
        PrivateTempFile list(context.tempFolder(), "sayloft-find");
        const bool statPass = birthTimes && !findReadsBirthTimes(context);
        std::optional<PrivateTempFile> stats;
        int days = dayWindow(since, context.clockRef().now());
        std::string command;
        if (statPass) {
            stats.emplace(context.tempFolder(), "sayloft-stat");
            command = findFilesCommand(root, includeExtensions, excludeDirs, days,
                                       context.limits.vaultTimeout,
                                       "-fprintf " + shellQuote(list.path().string()) +
                                           " '%B@\\t%T@\\t%p\\0' -print0") +
                      " 2>/dev/null | " + statCommand(context) + " > " +
                      shellQuote(stats->path().string()) + " 2>/dev/null";
        } else {
            command = vaultFindCommand(root, includeExtensions, excludeDirs, days,
                                       context.limits.vaultTimeout, list.path());
        }
        auto r = runShell(command, context, context.limits.vaultWatchdog, false);
        if (r.timedOut) core::log(kArea, "vault find timed out");
        auto output = core::readFile(list.path());
        if (!output || output->empty()) {
            core::log(kArea, "vault find: no output");
            return {};
        }
        found = parseFound(*output);
        core::log(kArea, "vault find returned {} files", found.size());
        if (statPass) {
            std::vector<std::string> paths;
            paths.reserve(found.size());
            for (auto& f : found) paths.push_back(f.path);
            auto statOutput = core::readFile(stats->path());
            auto times = matchStatRecords(paths, statOutput ? *statOutput : "");
            for (size_t i = 0; i < found.size(); ++i) found[i].birth = times[i].birth;
        }
    } catch (const std::exception& e) {
        core::log(kArea, "vault find failed: {}", e.what());
        return {};
    }
    std::vector<FileEntry> entries;
    entries.reserve(found.size());
    for (auto& f : found) {
        auto relative = withoutPrefix(withoutPrefix(f.path, root), vault);
        FileEntry e = makeEntry(f.path, relative, Source::vault);
        e.modificationDate = fromUnix(f.modified);
        // Without a birth time (not asked for, or the file system keeps none) a file was
        // created when it was last changed.
        e.creationDate = birthTimes && f.birth > 0 ? fromUnix(f.birth) : e.modificationDate;
        classifyInto(e);
        entries.push_back(std::move(e));
    }
    core::log(kArea, "parsed {} vault files", entries.size());
    return entries;
}

std::vector<FileEntry> scanWorkspace(const std::string& folderPath, core::TimePoint since,
                                     const std::set<std::string>& includeExtensions,
                                     const std::vector<std::string>& excludeDirs, Source source,
                                     const ScanContext& context) {
    if (folderPath.empty() || includeExtensions.empty()) return {};
    std::string folder = absolute(folderPath);
    std::string root = resolveSymlink(folder, context);
    std::string command = findFilesCommand(root, includeExtensions, excludeDirs,
                                           dayWindow(since, context.clockRef().now()),
                                           context.limits.workspaceTimeout) +
                          " 2>/dev/null | head -z -n " +
                          std::to_string(context.limits.workspaceMaxPaths);
    core::log(kArea, "find cmd: {}", core::repairUtf8(command));
    std::vector<FoundFile> found;
    try {
        auto r = runShell(command, context, context.limits.workspaceWatchdog, true);
        found = parseFound(r.out);
    } catch (const std::exception& e) {
        core::log(kArea, "workspace find failed: {}", e.what());
    }
    core::log(kArea, "find returned {} lines for {}", found.size(), core::repairUtf8(folder));
    std::vector<FileEntry> entries;
    for (auto& f : found) {
        auto modified = fromUnix(f.modified);
        if (modified < since) continue;
        FileEntry e = makeEntry(f.path, withoutPrefix(withoutPrefix(f.path, root), folder), source);
        e.creationDate = e.modificationDate = modified;
        classifyInto(e);
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<FileEntry> scanSpecialFolder(const std::string& folderPath,
                                         const std::string& folderName, Source source,
                                         std::optional<int> maxDepth,
                                         const std::vector<std::string>& excludeNames,
                                         const ScanContext& context) {
    std::string folder = absolute(core::expandTilde(folderPath));
    // No shell is needed here: the folder and the names go to find as arguments of their own.
    core::ProcessOptions o;
    o.argv = {"find", folder, "-mindepth", "1"};
    if (maxDepth) o.argv.insert(o.argv.end(), {"-maxdepth", std::to_string(*maxDepth)});
    o.argv.insert(o.argv.end(), {"(", "-name", ".*"});
    for (auto& n : excludeNames) o.argv.insert(o.argv.end(), {"-o", "-name", n});
    o.argv.insert(o.argv.end(), {")", "-prune", "-o", "-type", "f", "-printf", "%T@\\t%p\\0"});
    o.stderrTo = core::ProcessOutput::discarded();
    o.timeLimit = context.limits.specialFolderLimit;
    o.killGrace = core::seconds(1);
    o.clock = &context.clockRef();
    o.cancel = context.cancel;
    std::string output;
    try {
        output = core::runProcess(o).out;
    } catch (const std::exception& e) {
        core::log(kArea, "{} scan failed: {}", folderName, e.what());
        return {};
    }
    std::string prefix = folder.empty() || folder.back() != '/' ? folder + "/" : folder;
    std::vector<FileEntry> entries;
    for (auto& line : splitRecords(output, '\0')) {
        auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::string_view number = std::string_view(line).substr(0, tab);
        if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos)
            continue;
        std::string path = line.substr(tab + 1);
        if (path.compare(0, prefix.size(), prefix) != 0) continue;
        std::string rel = path.substr(prefix.size());
        if (lastComponent(path) == "README.md") continue;
        FileEntry e = makeEntry(path, folderName + "/" + rel, source);
        std::string relDir = directoryPart(rel);
        e.parentFolder = displayText(lastComponent(relDir));
        e.creationDate = e.modificationDate = fromUnix(parseInteger(number));
        e.filenameDate = FileClassifier::parseFilenameDate(e.filename);
        if (!e.filenameDate && !relDir.empty())
            e.filenameDate =
                FileClassifier::parseFilenameDate(displayText(rel.substr(0, rel.find('/'))));
        entries.push_back(std::move(e));
    }
    std::stable_sort(entries.begin(), entries.end(), [](const FileEntry& a, const FileEntry& b) {
        return a.modificationDate > b.modificationDate;
    });
    return entries;
}

std::vector<FileEntry> scanRemotes(const std::string& remotesFolder,
                                   const std::set<std::string>& includeExtensions,
                                   const ScanContext& context) {
    std::string remotes = absolute(core::expandTilde(remotesFolder));
    core::log(kArea, "scanRemotes starting at {}", core::repairUtf8(remotes));
    std::set<std::string> lowerExtensions;
    for (auto& e : includeExtensions) lowerExtensions.insert(lowerText(e));
    std::vector<std::string> mounts;
    try {
        core::ProcessOptions o;
        o.argv = {"find", remotes, "-mindepth", "1",       "-maxdepth", "1",
                  "-not", "-name", ".*",        "-printf", "%f\\0"};
        o.stderrTo = core::ProcessOutput::discarded();
        o.timeLimit = context.limits.mountProbe;
        o.killGrace = core::Duration::zero();
        o.clock = &context.clockRef();
        o.cancel = context.cancel;
        mounts = splitRecords(core::runProcess(o).out, '\0');
    } catch (const std::exception& e) {
        core::log(kArea, "remotes listing failed: {}", e.what());
    }

    std::vector<std::function<std::vector<FileEntry>(std::stop_token)>> tasks;
    for (auto& name : mounts) {
        tasks.push_back([&, mount = remotes + "/" + name](std::stop_token stop) {
            std::vector<FileEntry> found;
            core::ProcessOptions probe;
            probe.argv = {"ls", "--", mount};
            probe.stdoutTo = core::ProcessOutput::discarded();
            probe.stderrTo = core::ProcessOutput::discarded();
            probe.timeLimit = context.limits.mountProbe;
            probe.killGrace = core::Duration::zero();
            probe.clock = &context.clockRef();
            probe.cancel = stop;
            auto p = core::runProcess(probe);
            if (p.timedOut) {
                core::log(kArea, "skipping frozen mount: {}", core::repairUtf8(mount));
                return found;
            }
            if (!p.succeeded()) return found;
            core::ProcessOptions o;
            o.argv = {"find", mount,  "-maxdepth", "5",   "-not",   "-name",
                      ".*",   "-not", "-name",     "._*", "-print0"};
            o.stderrTo = core::ProcessOutput::discarded();
            o.timeLimit = context.limits.mountFind;
            o.killGrace = core::Duration::zero();  // SIGKILL right away
            o.clock = &context.clockRef();
            o.cancel = stop;
            auto r = core::runProcess(o);
            if (r.timedOut)
                core::log(kArea, "killing slow mount scan: {}", core::repairUtf8(mount));
            for (auto& path : splitRecords(r.out, '\0')) {
                if (!hasIncludedExtension(path, lowerExtensions)) continue;
                FileEntry e = makeEntry(path, withoutPrefix(path, remotes), Source::workspace);
                classifyInto(e);
                e.creationDate = e.modificationDate = e.filenameDate.value_or(kDistantPast);
                found.push_back(std::move(e));
            }
            core::log(kArea, "mount {}: {} files", core::repairUtf8(mount), found.size());
            return found;
        });
    }
    auto results = gatherWithin(std::move(tasks), context.limits.allMounts, context.clockRef(),
                                context.cancel);
    std::vector<FileEntry> all;
    for (auto& r : results) {
        if (!r) continue;
        all.insert(all.end(), std::make_move_iterator(r->begin()),
                   std::make_move_iterator(r->end()));
    }
    core::log(kArea, "scanRemotes done: {} files from {} mounts", all.size(), mounts.size());
    return all;
}

}  // namespace sayloft::browser
