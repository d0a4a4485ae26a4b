// capture_bench: how the capture state and the folder watcher grow with the number of files.
//
// For 1k, 10k and 50k files (50k only with --large) in one watched folder, in the same run:
//   baseline      find + stat of every file (find -printf '%s %T@')
//   index         the first start's initial index (including its one durable state write)
//   tick          a tick in which nothing changed
//   burst         500 new short WAVs found, checked in one waiting window and claimed (manual
//                 clock, so the window costs no real time; probes are real)
// Each is reported in milliseconds and as a ratio to the baseline; cost per file shows whether a
// step grows linearly. Then the start-up of `sayloft --version` and `sayloft status` against
// /bin/true (20 runs each, median).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capture/folder_watcher.hpp"
#include "core/files.hpp"
#include "core/log.hpp"
#include "core/process.hpp"

using namespace sayloft;
using namespace sayloft::capture;
namespace fs = std::filesystem;

namespace {

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

template <class F>
double timed(F f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return msSince(start);
}

std::string shortWav() {
    const uint32_t rate = 8000, samples = 8000, bytes = samples * 2;
    std::string out = "RIFF";
    auto u32 = [&](uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
    u32(36 + bytes);
    out += "WAVEfmt ";
    u32(16), u16(1), u16(1), u32(rate), u32(rate * 2), u16(2), u16(16);
    out += "data";
    u32(bytes);
    out.append(bytes, '\0');
    return out;
}

void writeFiles(const fs::path& dir, int from, int count, const std::string& bytes) {
    for (int i = from; i < from + count; ++i) {
        auto path = dir / ("rec-" + std::to_string(i) + ".wav");
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

double findStat(const fs::path& dir) {
    return timed([&] {
        core::ProcessOptions o;
        o.argv = {"find", dir.string(), "-type", "f", "-printf", "%s %T@\n"};
        core::runProcess(o);
    });
}

double medianRun(const std::vector<std::string>& argv,
                 const std::vector<std::pair<std::string, std::string>>& env) {
    std::vector<double> times;
    for (int i = 0; i < 20; ++i) {
        core::ProcessOptions o;
        o.argv = argv;
        o.environment = env;
        times.push_back(timed([&] { core::runProcess(o); }));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const bool large = argc > 1 && std::strcmp(argv[1], "--large") == 0;
    core::LogConfig::setStderr(false);  // the per-file log lines are not what is measured
    char tmpl[] = "/tmp/capture-bench-XXXXXX";
    const fs::path root = ::mkdtemp(tmpl);
    std::printf("%-6s %10s %10s %8s %10s %8s %10s %8s %12s\n", "files", "find+stat", "index",
                "ratio", "tick", "ratio", "burst500", "ratio", "index us/file");
    std::vector<int> sizes = {1000, 10000};
    if (large) sizes.push_back(50000);
    const std::string wav = shortWav();
    for (int n : sizes) {
        const fs::path dir = root / std::to_string(n);
        fs::create_directories(dir);
        writeFiles(dir, 0, n, "x");
        core::ManualClock clock(core::SystemClock::now());
        clock.setAutoAdvance(true);
        CaptureStateStore store(root / (std::to_string(n) + ".json"), root / "none.json", clock);
        settings::WatchedFolder folder{"folder-b", dir.string(),
                                       "Bench",    true,
                                       {"wav"},    settings::WatchedFolder::Normaliser::none};
        FolderWatcher watcher(folder, store, clock);

        double baseline = findStat(dir);
        double index = timed([&] { watcher.runInitialIndex(); });
        double tick = timed([&] { watcher.poll(); });
        writeFiles(dir, n, 500, wav);
        double burstBaseline = findStat(dir);
        double burst = timed([&] { watcher.poll(); });
        std::printf("%-6d %10.1f %10.1f %8.2f %10.1f %8.2f %10.1f %8.2f %12.2f\n", n, baseline,
                    index, index / baseline, tick, tick / baseline, burst, burst / burstBaseline,
                    index * 1000 / n);
        std::fflush(stdout);
    }
    fs::remove_all(root);

    // Start-up: a private home so the user's files are never read.
    char homeTmpl[] = "/tmp/capture-bench-home-XXXXXX";
    const fs::path home = ::mkdtemp(homeTmpl);
    std::vector<std::pair<std::string, std::string>> env = {
        {"HOME", home.string()},
        {"XDG_CONFIG_HOME", (home / "config").string()},
        {"XDG_STATE_HOME", (home / "state").string()},
        {"XDG_DATA_HOME", (home / "data").string()},
        {"XDG_CACHE_HOME", (home / "cache").string()},
        {"XDG_RUNTIME_DIR", (home / "run").string()},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}};
    fs::create_directories(home / "run");
    double trueMs = medianRun({"/bin/true"}, env);
    double version = medianRun({SAYLOFT_CLI, "--version"}, env);
    double status = medianRun({SAYLOFT_CLI, "status"}, env);
    std::printf(
        "\nstart-up (median of 20): /bin/true %.2f ms; sayloft --version %.2f ms (%.2fx); "
        "sayloft status %.2f ms (%.2fx); target <= 3x /bin/true + 10 ms = %.2f ms\n",
        trueMs, version, version / trueMs, status, status / trueMs, 3 * trueMs + 10);
    fs::remove_all(home);
    return 0;
}
