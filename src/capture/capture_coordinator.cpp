#include "capture/capture_coordinator.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "core/log.hpp"
#include "platform/notify_once.hpp"

namespace sayloft::capture {

using Kind = CaptureAccess::State::Kind;

FolderChanges::FolderChanges(const std::vector<std::filesystem::path>& folders,
                             std::function<void()> changed)
    : changed_(std::move(changed)) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0 || ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    for (auto& folder : folders) {
        if (::inotify_add_watch(fd_, folder.c_str(),
                                IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB) >= 0)
            ++watched_;
    }
    if (watched_ > 0) thread_ = std::thread([this] { run(); });
}

FolderChanges::~FolderChanges() {
    if (thread_.joinable()) {
        char c = 1;
        [[maybe_unused]] auto n = ::write(wake_[1], &c, 1);
        thread_.join();
    }
    for (int fd : {fd_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

void FolderChanges::run() {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        bool any = false;
        while (::read(fd_, buffer, sizeof buffer) > 0) any = true;
        if (any) changed_();
    }
}

CaptureCoordinator::CaptureCoordinator(Dependencies deps) : deps_(std::move(deps)) {}

void CaptureCoordinator::folderChanged() {
    // One tick at a time: a burst of changes queues at most one.
    if (changeQueued_.exchange(true)) return;
    queue_.async([this] {
        changeQueued_ = false;
        if (running_) tickOnQueue();
    });
}

CaptureCoordinator::~CaptureCoordinator() {
    stop_.request_stop();  // cut short any size sampling in progress
    {
        std::lock_guard lock(tickMutex_);
        tickStop_.request_stop();
    }
    queue_.sync([this] {
        if (timer_) timer_->cancel();
        timer_.reset();
        changes_.reset();
    });
    queue_.stop();
}

void CaptureCoordinator::start() {
    queue_.async([this] { startOnQueue(); });
}

void CaptureCoordinator::stop() {
    {
        std::lock_guard lock(tickMutex_);
        tickStop_.request_stop();
    }
    queue_.async([this] { stopOnQueue(true); });
}

void CaptureCoordinator::reload() {
    {
        std::lock_guard lock(tickMutex_);
        tickStop_.request_stop();
    }
    queue_.async([this] {
        stopOnQueue(false);
        hasInitialised_ = false;
        startOnQueue();
    });
}

std::vector<FolderWatcher::NewCapture> CaptureCoordinator::runOnce() {
    return queue_.sync([this] {
        if (!running_) {
            std::lock_guard lock(tickMutex_);
            tickStop_ = std::stop_source();
        }
        buildWatchers();
        for (auto& w : watchers_) w.runInitialIndex();
        return tickOnQueue();
    });
}

std::vector<FolderWatcher::NewCapture> CaptureCoordinator::retryNotYetNoted() {
    return queue_.sync([this] {
        if (!running_) buildWatchers();
        deps_.store.retryPendingNow();
        std::function<void(const FolderWatcher::NewCapture&)> callback;
        {
            std::lock_guard lock(callbackMutex_);
            callback = onNewCapture_;
        }
        std::vector<FolderWatcher::NewCapture> all;
        for (auto& watcher : watchers_)
            for (auto& c : watcher.takePending()) {
                if (callback) callback(c);
                all.push_back(c);
            }
        return all;
    });
}

void CaptureCoordinator::setOnNewCapture(std::function<void(const FolderWatcher::NewCapture&)> cb) {
    std::lock_guard lock(callbackMutex_);
    onNewCapture_ = std::move(cb);
}
void CaptureCoordinator::setIdFilter(std::function<bool(const std::string&)> usable) {
    std::lock_guard lock(callbackMutex_);
    idFilter_ = std::move(usable);
}
std::function<bool(const std::string&)> CaptureCoordinator::idFilter() {
    std::lock_guard lock(callbackMutex_);
    return idFilter_;
}
void CaptureCoordinator::setOnPoll(std::function<void(int)> cb) {
    std::lock_guard lock(callbackMutex_);
    onPoll_ = std::move(cb);
}
void CaptureCoordinator::setOnVoiceMemosAccess(
    std::function<void(const CaptureAccess::State&)> cb) {
    std::lock_guard lock(callbackMutex_);
    onVoiceMemosAccess_ = std::move(cb);
}

bool CaptureCoordinator::isRunning() {
    return queue_.sync([this] { return running_; });
}

void CaptureCoordinator::drain() {
    queue_.drain();
}

void CaptureCoordinator::buildWatchers() {
    watchers_.clear();
    auto filter = idFilter();
    for (auto& folder : deps_.enabledFolders()) {
        watchers_.emplace_back(folder, deps_.store, deps_.clock, deps_.guards);
        watchers_.back().setIdFilter(filter);
    }
}

void CaptureCoordinator::schedule(double seconds) {
    if (timer_) timer_->cancel();
    timer_ = deps_.clock.startTimer(core::seconds(seconds), core::Duration::zero(), [this] {
        queue_.async([this] {
            if (running_) tickOnQueue();
        });
    });
}

void CaptureCoordinator::startOnQueue() {
    if (running_) return;
    {
        std::lock_guard lock(tickMutex_);
        tickStop_ = std::stop_source();
    }
    buildWatchers();
    if (watchers_.empty()) {
        core::log("capture", "no folders enabled; coordinator idle");
        return;
    }
    if (!hasInitialised_) {
        for (auto& w : watchers_) w.runInitialIndex();
        hasInitialised_ = true;
    }
    running_ = true;
    schedule(kFirstTick);
    if (watchChanges) {
        std::vector<std::filesystem::path> folders;
        for (auto& w : watchers_) folders.push_back(folderURL(w.folder()));
        changes_ = std::make_unique<FolderChanges>(folders, [this] { folderChanged(); });
        if (changes_->watched() < int(folders.size()))
            core::log("capture", "{} of {} folders watched for changes; the rest every {}s",
                      changes_->watched(), folders.size(), int(kPollInterval));
    }
    std::string names;
    for (auto& w : watchers_) names += (names.empty() ? "" : ", ") + w.folder().displayName;
    core::log("capture", "coordinator started (poll={}s, folders={})", int(kPollInterval), names);
}

void CaptureCoordinator::stopOnQueue(bool log) {
    if (timer_) timer_->cancel();
    timer_.reset();
    changes_.reset();
    running_ = false;
    deps_.store.save();
    watchers_.clear();
    if (log) core::log("capture", "coordinator stopped");
}

std::vector<FolderWatcher::NewCapture> CaptureCoordinator::tickOnQueue() {
    std::stop_token stop;
    {
        std::lock_guard lock(tickMutex_);
        stop = tickStop_.get_token();
    }
    std::vector<FolderWatcher::NewCapture> all;
    std::function<void(const FolderWatcher::NewCapture&)> callback;
    {
        std::lock_guard lock(callbackMutex_);
        callback = onNewCapture_;
    }
    auto handOn = [&](std::vector<FolderWatcher::NewCapture> batch) {
        for (auto& c : batch) {
            if (callback) callback(c);
            all.push_back(std::move(c));
        }
    };
    // First every folder's look (resumed captures go on at once), then one waiting window for
    // the new files of all folders together.
    std::vector<FolderWatcher::Candidate> candidates;
    for (auto& watcher : watchers_) {
        if (stop_.get_token().stop_requested() || stop.stop_requested()) break;
        auto state = deps_.access ? deps_.access(watcher) : watcher.accessState();
        report(watcher.folder(), state);
        if (state.kind != Kind::ok) continue;
        std::vector<FolderWatcher::NewCapture> resumed;
        auto found = watcher.scan(resumed);
        handOn(std::move(resumed));
        candidates.insert(candidates.end(), found.begin(), found.end());
    }
    deps_.store.save();
    std::stop_callback cutShort(stop_.get_token(), [&] {
        std::lock_guard lock(tickMutex_);
        tickStop_.request_stop();
    });
    FolderWatcher::watch(std::move(candidates), deps_.clock, stop, handOn);
    deps_.store.save();

    std::function<void(int)> onPoll;
    {
        std::lock_guard lock(callbackMutex_);
        onPoll = onPoll_;
    }
    if (onPoll) onPoll(int(all.size()));
    if (running_ && !stop.stop_requested()) schedule(kPollInterval);
    return all;
}

void CaptureCoordinator::report(const settings::WatchedFolder& folder,
                                const CaptureAccess::State& state) {
    auto previous = lastStates_.find(folder.id);
    if (previous != lastStates_.end() && previous->second == state) return;
    lastStates_[folder.id] = state;
    core::log("capture", "[{}] access -> {}", folder.displayName,
              state.summary(folder.displayName));

    if (folder.id == settings::kVoiceMemosFolderId) {
        std::function<void(const CaptureAccess::State&)> callback;
        {
            std::lock_guard lock(callbackMutex_);
            callback = onVoiceMemosAccess_;
        }
        if (callback) callback(state);
    }

    const std::string prefix = "capture-access-" + folder.id + "-";
    auto problem = state.problemName();
    if (!problem.empty()) {
        platform::notifyOnce(deps_.defaults, deps_.notifications, prefix + problem,
                             state.summary(folder.displayName), state.explanation());
    } else {
        for (const char* p : {"denied", "empty", "missing"})
            deps_.defaults.remove(platform::notifiedKey(prefix + p));
    }
}

void VoiceMemosKeeper::start() {
    if (on_) return;
    on_ = true;
    core::log("voice memos keeper", "Voice Memos.app not found");
}

void VoiceMemosKeeper::stop() {
    if (!on_) return;
    on_ = false;
    core::log("voice memos keeper", "off");
}

}  // namespace sayloft::capture
