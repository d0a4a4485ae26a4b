// scanner_bench: what a full refresh of the file scanner costs on a vault of 20,000 files,
// against the floor set by the external tools themselves on the same tree in the same run: one
// raw `find ... -printf` pass plus one `stat` pass over its output.
//
//   scanner_bench [files]      (default 20000; target: refresh within 1.5x of the baseline)
//
// Rounds alternate baseline and refresh after a warm-up of each, so both see a warm page cache;
// the medians are compared. The refresh includes everything the menu needs: the vault find, the
// three special folders, merging, sorting, classification, the cache file (rewritten only when
// the files changed). With the creation-date time basis a batch stat follows the find where
// find cannot read birth times; that refresh is printed beside, against the same baseline.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "browser/file_scanner.hpp"
#include "browser/scan_commands.hpp"
#include "core/log.hpp"
#include "core/process.hpp"

namespace fs = std::filesystem;
using namespace sayloft;

namespace {

constexpr int kRounds = 5;
constexpr double kTarget = 1.5;

struct Inline : core::MainQueue {
    void async(std::function<void()> work) override { work(); }
};

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

template <class F>
double timed(F&& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return seconds(std::chrono::steady_clock::now() - start);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void write(const fs::path& file) {
    std::ofstream(file) << "x\n";
}

// `files` files in folders of 100, nested two deep, with dated and undated names, a few of other
// types, plus the special folders.
void generateVault(const fs::path& vault, int files) {
    const char* extensions[] = {"md", "md", "md", "pdf", "txt", "docx"};
    for (int i = 0; i < files; ++i) {
        fs::path folder = vault / ("area-" + std::to_string(i / 2000)) /
                          ("meetings/board-" + std::to_string(i / 100));
        if (i % 100 == 0) fs::create_directories(folder);
        char name[64];
        std::snprintf(name, sizeof name, "%02d%02d%02d-note-%d.%s", 20 + i % 6, 1 + i % 12,
                      1 + i % 28, i, extensions[i % 6]);
        write(folder / (i % 3 == 0 ? std::string("note ") + std::to_string(i) + ".md" : name));
    }
    for (auto special : {"_inbox", "_outbox/260105-offer", ".handoff/topic"}) {
        fs::create_directories(vault / special);
        for (int i = 0; i < 50; ++i)
            write(vault / special / ("250101-0930" + std::to_string(i) + ".md"));
    }
}

void baseline(const fs::path& vault, const fs::path& tmp) {
    core::ProcessOptions o;
    o.argv = {"/bin/bash", "-c",
              "find " + core::shellQuote(vault.string()) + " -type f -printf '%p\\0' > " +
                  core::shellQuote(tmp.string()) + " && xargs -0 stat --printf '%W %Y\\n' -- < " +
                  core::shellQuote(tmp.string()) + " > /dev/null"};
    o.stdoutTo = o.stderrTo = core::ProcessOutput::discarded();
    core::runProcess(o);
}

}  // namespace

int main(int argc, char** argv) {
    int files = argc > 1 ? std::atoi(argv[1]) : 20000;
    char pattern[] = "/tmp/sayloft-scanner-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 2;
    fs::path root = pattern;
    // Every place of the scanner (cache, private temporary files) lies in the bench's folder.
    for (auto [name, dir] : {std::pair{"HOME", "home"},
                             {"XDG_CACHE_HOME", "home/cache"},
                             {"XDG_RUNTIME_DIR", "run"},
                             {"XDG_CONFIG_HOME", "home/config"}}) {
        fs::create_directories(root / dir);
        setenv(name, (root / dir).c_str(), 1);
    }
    fs::permissions(root / "run", fs::perms::owner_all);
    core::LogConfig::setStderr(false);

    fs::path vault = root / "vault";
    std::printf("generating a vault of %d files...\n", files);
    generateVault(vault, files);

    settings::Settings store(root / "settings.json");
    store.settings().vaultPath = vault.string();
    store.settings().additionalPaths.clear();
    store.settings().remotesPath.reset();
    store.settings().searchDays = 30;
    Inline main;
    browser::FileScanner scanner(store, core::systemClock(), main,
                                 {root / "home/cache/scan-cache.json", {}, {}});

    size_t listed = 0;
    auto refresh = [&] {
        scanner.refreshNow(false);
        auto lists = scanner.lists();
        listed = lists.today.size() + lists.recent.size() + lists.inbox.size() +
                 lists.outbox.size() + lists.handoff.size();
    };
    baseline(vault, root / "baseline.txt");  // warm-up
    refresh();
    std::vector<double> base, full;
    for (int r = 0; r < kRounds; ++r) {
        base.push_back(timed([&] { baseline(vault, root / "baseline.txt"); }));
        full.push_back(timed(refresh));
    }
    // The same with creation dates (the "creation" time basis), which this find may not read.
    store.settings().timeBasis = settings::TimeBasis::creation;
    refresh();
    std::vector<double> withBirth;
    for (int r = 0; r < kRounds; ++r) withBirth.push_back(timed(refresh));
    store.settings().timeBasis = settings::TimeBasis::modification;

    // Where a refresh spends its time: the vault scan (one find) and the rest.
    browser::ScanContext context;
    auto extensions = store.includeExtensions();
    std::vector<double> findOnly, vaultScan;
    for (int r = 0; r < kRounds; ++r) {
        findOnly.push_back(timed([&] {
            core::ProcessOptions o;
            o.argv = {"/bin/bash", "-c",
                      browser::vaultFindCommand(vault.string(), extensions, {}, 31, 10,
                                                root / "find.txt")};
            core::runProcess(o);
        }));
        vaultScan.push_back(timed([&] {
            browser::scanVault(vault.string(),
                               core::SystemClock::now() - std::chrono::hours(24 * 30), extensions,
                               {}, context, false);
        }));
    }
    auto entries =
        browser::scanVault(vault.string(), core::SystemClock::now() - std::chrono::hours(24 * 30),
                           extensions, {}, context, false);
    std::vector<double> cacheWrite;
    for (int r = 0; r < kRounds; ++r)
        cacheWrite.push_back(timed([&] {
            browser::FileScanner::saveCache(root / "bench-cache.json", entries, {},
                                            core::SystemClock::now());
        }));
    std::vector<double> specials;
    for (int r = 0; r < kRounds; ++r)
        specials.push_back(timed([&] {
            browser::scanSpecialFolder((vault / "_inbox").string(), "_inbox",
                                       browser::Source::inbox, 1, {}, context);
        }));
    double b = median(base), f = median(full);
    std::printf("%-34s %8.3f s\n", "  the cache file (written on change)", median(cacheWrite));
    std::printf("%-34s %8.3f s\n", "  one special folder", median(specials));
    std::printf("%-34s %8.3f s\n", "  of which the vault find", median(findOnly));
    std::printf("%-34s %8.3f s\n", "  of which the vault scan", median(vaultScan));
    std::printf("files listed by the refresh: %zu\n", listed);
    std::printf("%-34s %8.3f s (median of %d)\n", "baseline: find -printf + stat", b, kRounds);
    std::printf("%-34s %8.3f s (median of %d)\n", "full refresh", f, kRounds);
    std::printf("%-34s %8.2fx (target: within %.1fx)  %s\n", "refresh / baseline", f / b, kTarget,
                f / b <= kTarget ? "ok" : "ABOVE TARGET");
    std::printf("%-34s %8.3f s (median of %d; %.2fx)\n", "full refresh with creation dates",
                median(withBirth), kRounds, median(withBirth) / b);
    std::error_code ec;
    fs::remove_all(root, ec);
    return f / b <= kTarget ? 0 : 1;
}
