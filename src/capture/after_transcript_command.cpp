#include "capture/after_transcript_command.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "core/files.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/process.hpp"
#include "core/text.hpp"

namespace sayloft::capture {

namespace fs = std::filesystem;

namespace {

constexpr const char* kArea = "after-transcript";

bool isExecutable(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), X_OK) == 0 && !fs::is_directory(path);
}

// The vault as an absolute path without a trailing slash.
std::string vaultFolder(const std::string& setting) {
    fs::path folder = core::expandTilde(setting);
    if (folder.is_relative()) folder = fs::absolute(folder);
    std::string text = folder.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

struct AfterTranscriptCommand::Worker {
    std::jthread thread;
    bool done = false;  // guarded by lock_
};

AfterTranscriptCommand::AfterTranscriptCommand(SettingsProvider settings, core::Clock& clock,
                                               std::string shell)
    : settings_(std::move(settings)),
      clock_(clock),
      shell_(shell.empty() ? loginShell() : std::move(shell)) {
    // Output files of commands that outlived an earlier sayloft, long since over.
    std::error_code ec;
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (auto& entry : fs::directory_iterator(core::cacheDir() / "after-transcript", ec)) {
        std::error_code ignored;
        if (entry.is_regular_file(ignored) && entry.last_write_time(ignored) < cutoff)
            fs::remove(entry.path(), ignored);
    }
}

AfterTranscriptCommand::~AfterTranscriptCommand() {
    stop();
}

std::string AfterTranscriptCommand::loginShell() {
    for (const char* zsh : {"/bin/zsh", "/usr/bin/zsh", "/usr/local/bin/zsh"})
        if (isExecutable(zsh)) return zsh;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_shell) {
        std::string shell = found->pw_shell;
        std::string name = fs::path(shell).filename().string();
        // Accounts without a login shell name a program that only refuses.
        if (isExecutable(shell) && name != "nologin" && name != "false") return shell;
    }
    return "/bin/sh";
}

void AfterTranscriptCommand::transcriptWritten(const std::string& id) {
    Settings settings = settings_();
    std::string command(core::trimWhitespace(settings.command));
    if (command.empty()) return;
    {
        std::lock_guard guard(lock_);
        if (stopped_) return;
        if (!running_.count(id)) {
            running_.insert(id);
            // Threads of finished runs have nothing left to do but return.
            for (auto it = workers_.begin(); it != workers_.end();) {
                if ((*it)->done) {
                    (*it)->thread.join();
                    it = workers_.erase(it);
                } else {
                    ++it;
                }
            }
            auto worker = std::make_unique<Worker>();
            Worker* w = worker.get();
            w->thread = std::jthread(
                [this, w, id, command, vault = settings.vaultPath](std::stop_token stop) {
                    run(id, command, vault, stop);
                    finished(id, w);
                });
            workers_.push_back(std::move(worker));
            return;
        }
    }
    core::log(kArea, "{} already running; not started again", id);
}

void AfterTranscriptCommand::run(const std::string& id, const std::string& command,
                                 const std::string& vaultPath, std::stop_token stop) {
    if (core::trimWhitespace(vaultPath).empty()) {
        core::log(kArea, "could not start for {}: no vault folder is set", id);
        return;
    }
    const std::string folder = vaultFolder(vaultPath);
    if (::access(shell_.c_str(), X_OK) != 0) {
        core::log(kArea, "could not start for {}: cannot run {}: {}", id, shell_,
                  std::strerror(errno));
        return;
    }
    // The output goes to a private file that outlives this process if it must.
    std::error_code ec;
    const fs::path outputDir = core::cacheDir() / "after-transcript";
    fs::create_directories(outputDir, ec);
    std::string pattern = (outputDir / "run-XXXXXX").string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        core::log(kArea, "could not start for {}: cannot create {}: {}", id, pattern,
                  std::strerror(errno));
        return;
    }
    ::close(fd);
    const fs::path outputFile = pattern;

    core::ProcessOptions options;
    options.argv = {shell_, "-lc", command};
    static const std::string timeoutTool = [] {
        for (const char* path : {"/usr/bin/timeout", "/bin/timeout"})
            if (::access(path, X_OK) == 0) return std::string(path);
        return std::string();
    }();
    if (!timeoutTool.empty()) {
        const auto limit = std::chrono::duration_cast<std::chrono::seconds>(kTimeLimit).count();
        options.argv.insert(options.argv.begin(),
                            {timeoutTool, "--kill-after=5", std::to_string(limit)});
    }
    options.environment = {{"SAYLOFT_ID", id},
                           {"SAYLOFT_FILE", folder + "/_inbox/" + id + ".md"},
                           {"SAYLOFT_FOLDER", folder}};
    options.workingDirectory = folder;
    options.stdoutTo = core::ProcessOutput::toFile(outputFile);
    options.stderrTo = core::ProcessOutput::mergedIntoStdout();
    options.timeLimit = kTimeLimit;
    options.clock = &clock_;
    options.cancel = stop;
    options.detach = detach_.get_token();
    options.newSession = true;
    options.onStart = [&](pid_t pid) { core::log(kArea, "started for {} (pid {})", id, pid); };

    core::ProcessResult result;
    try {
        result = core::runProcess(options);
    } catch (const std::exception& e) {
        core::log(kArea, "could not start for {}: {}", id, e.what());
        fs::remove(outputFile, ec);
        return;
    }
    if (result.detached) {
        // Its output file stays for it; the next start clears files of runs long over.
        core::log(kArea, "{} left running (pid {}) as sayloft stops", id, result.pid);
        return;
    }
    result.out = core::readFileTail(outputFile, kOutputTailBytes).value_or("");
    fs::remove(outputFile, ec);
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(result.elapsed()).count();
    if (result.timedOut) {
        core::log(kArea, "{} stopped after {} s (time limit)", id, elapsed);
    } else {
        core::log(kArea, "{} exited {} after {} s", id, result.status(), elapsed);
    }
    std::string repaired = core::repairUtf8(result.out);
    std::string_view tail = core::trimWhitespace(repaired);
    if (!tail.empty()) core::log(kArea, "{} output (end):\n{}", id, tail);
}

void AfterTranscriptCommand::finished(const std::string& id, Worker* worker) {
    std::lock_guard guard(lock_);
    running_.erase(id);
    worker->done = true;
    idle_.notify_all();
}

bool AfterTranscriptCommand::isRunning(const std::string& id) const {
    std::lock_guard guard(lock_);
    return running_.count(id) > 0;
}

void AfterTranscriptCommand::waitUntilIdle() {
    std::unique_lock guard(lock_);
    idle_.wait(guard, [&] { return running_.empty(); });
}

bool AfterTranscriptCommand::isIdle() const {
    std::lock_guard guard(lock_);
    return running_.empty();
}

void AfterTranscriptCommand::stop() {
    end(true);
}

void AfterTranscriptCommand::detach() {
    end(false);
}

void AfterTranscriptCommand::end(bool kill) {
    std::list<std::unique_ptr<Worker>> workers;
    {
        std::lock_guard guard(lock_);
        stopped_ = true;
        workers.swap(workers_);
    }
    if (kill) {
        for (auto& w : workers) w->thread.request_stop();
    } else {
        detach_.request_stop();
    }
    for (auto& w : workers) w->thread.join();
}

}  // namespace sayloft::capture
