#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "core/log.hpp"
#include "platform/opener.hpp"

extern char** environ;

namespace sayloft::platform {

XdgOpener::~XdgOpener() {
    std::lock_guard lock(mutex_);
    reap();
}

bool XdgOpener::openURL(const std::string& url) {
    return launch(url);
}

bool XdgOpener::openFile(const std::filesystem::path& file) {
    return launch(file.string());
}

bool XdgOpener::launch(const std::string& target) {
    std::lock_guard lock(mutex_);
    reap();
    std::string program = "xdg-open";
    std::vector<char*> argv{program.data(), const_cast<char*>(target.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Keep the opener's chatter out of our output.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        core::log("open", "cannot run xdg-open: {}", std::strerror(rc));
        return false;
    }
    children_.push_back(pid);
    return true;
}

void XdgOpener::reap() {
    std::erase_if(children_, [](pid_t pid) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        return done == pid || done < 0;
    });
}

}  // namespace sayloft::platform
