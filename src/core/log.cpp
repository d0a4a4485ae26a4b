#include "core/log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

#include "core/places.hpp"
#include "core/queue.hpp"
#include "core/time_format.hpp"

namespace sayloft::core {

namespace fs = std::filesystem;

struct CaptureLogWriter::Impl {
    Impl(fs::path f, std::uintmax_t max) : file(std::move(f)), maxBytes(max) {}
    fs::path file;
    std::uintmax_t maxBytes;
    SerialQueue queue{"sayloft.log"};

    void write(const std::string& line) {
        std::error_code ec;
        fs::create_directories(file.parent_path(), ec);
        auto size = fs::file_size(file, ec);
        if (!ec && size > maxBytes) {
            fs::path previous = file.parent_path() / (file.stem().string() + ".1.log");
            fs::remove(previous, ec);
            fs::rename(file, previous, ec);
        }
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return;
        std::string record = formatIso8601Local(SystemClock::now()) + " " + line + "\n";
        size_t done = 0;
        while (done < record.size()) {
            ssize_t n = ::write(fd, record.data() + done, record.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        ::close(fd);
    }
};

CaptureLogWriter::CaptureLogWriter(fs::path file, std::uintmax_t maxBytes)
    : impl_(std::make_unique<Impl>(std::move(file), maxBytes)) {}

CaptureLogWriter::~CaptureLogWriter() {
    impl_->queue.stop();
}

void CaptureLogWriter::append(std::string line) {
    impl_->queue.async([impl = impl_.get(), line = std::move(line)] { impl->write(line); });
}

void CaptureLogWriter::flush() {
    impl_->queue.drain();
}

const fs::path& CaptureLogWriter::path() const {
    return impl_->file;
}

fs::path defaultCaptureLogPath() {
    return stateDir() / "sayloft.log";
}

namespace {

struct LogState {
    std::mutex mutex;
    std::shared_ptr<CaptureLogWriter> captureLog;
    bool toStderr = true;
    int nextToken = 1;
    std::map<int, std::function<void(const std::string&)>> listeners;
};

LogState& state() {
    static LogState s;
    return s;
}

}  // namespace

namespace {

void emit(std::string_view area, std::string_view message, bool mayUseStderr) {
    std::string line = fmt::format("[sayloft] {}: {}", area, message);
    auto& s = state();
    std::shared_ptr<CaptureLogWriter> writer;
    std::vector<std::function<void(const std::string&)>> listeners;
    bool toStderr;
    {
        std::lock_guard lock(s.mutex);
        writer = s.captureLog;
        toStderr = s.toStderr;
        for (auto& [_, l] : s.listeners) listeners.push_back(l);
    }
    if (toStderr && mayUseStderr) {
        std::string out = line + "\n";
        std::fwrite(out.data(), 1, out.size(), stderr);
    }
    if (writer) writer->append(line);
    for (auto& l : listeners) l(line);
}

}  // namespace

void logLine(std::string_view area, std::string_view message) {
    emit(area, message, true);
}

void noteLine(std::string_view area, std::string_view message) {
    emit(area, message, false);
}

void LogConfig::installCaptureLog(std::shared_ptr<CaptureLogWriter> writer) {
    std::lock_guard lock(state().mutex);
    state().captureLog = std::move(writer);
}

std::shared_ptr<CaptureLogWriter> LogConfig::captureLog() {
    std::lock_guard lock(state().mutex);
    return state().captureLog;
}

void LogConfig::setStderr(bool on) {
    std::lock_guard lock(state().mutex);
    state().toStderr = on;
}

int LogConfig::addListener(std::function<void(const std::string&)> listener) {
    std::lock_guard lock(state().mutex);
    int token = state().nextToken++;
    state().listeners[token] = std::move(listener);
    return token;
}

void LogConfig::removeListener(int token) {
    std::lock_guard lock(state().mutex);
    state().listeners.erase(token);
}

}  // namespace sayloft::core
