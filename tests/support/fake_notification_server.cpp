#include "fake_notification_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/bus_loop.hpp"

extern char** environ;

namespace sayloft::test {

using platform::dbus::BusLoop;
using platform::dbus::check;

namespace {

constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

std::string busConfig(const std::filesystem::path& socket) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
           socket.string() + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

// Reads the line dbus-daemon prints once it listens; empty on end of file or time-out.
std::string readAddress(int fd, std::chrono::milliseconds timeout) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return "";
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "";
        text.append(buf, size_t(n));
    }
    return text.substr(0, text.find('\n'));
}

}  // namespace

PrivateBus::PrivateBus() {
    const auto config = dir_ / "bus.conf";
    const auto log = dir_ / "dbus-daemon.log";
    writeFile(config, busConfig(dir_ / "bus"));

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw BusUnavailable("pipe failed");
    const std::string configArg = "--config-file=" + config.string();
    std::vector<std::string> args{"dbus-daemon", configArg, "--nofork", "--print-address=3"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    const int err = posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (err != 0) {
        close(fds[0]);
        pid_ = -1;
        throw BusUnavailable(std::string("cannot run dbus-daemon: ") + std::strerror(err));
    }
    address_ = readAddress(fds[0], std::chrono::seconds(10));
    close(fds[0]);
    if (address_.empty()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        throw BusUnavailable("dbus-daemon did not start: " + readFile(log));
    }
}

PrivateBus::~PrivateBus() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The vtable's handlers; they run on the server's bus thread.
struct FakeNotificationServer::Callbacks {
    static int notify(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* self = static_cast<FakeNotificationServer*>(data);
        NotifyCall call;
        const char *app, *icon, *summary, *body;
        int r = sd_bus_message_read(m, "susss", &app, &call.replacesId, &icon, &summary, &body);
        if (r < 0) return r;
        call.appName = app;
        call.appIcon = icon;
        call.summary = summary;
        call.body = body;
        char** actions = nullptr;
        if ((r = sd_bus_message_read_strv(m, &actions)) < 0) return r;
        for (char** p = actions; p && *p; ++p) {
            call.actions.push_back(*p);
            free(*p);
        }
        free(actions);
        if ((r = readHints(m, call.hints)) < 0) return r;
        if ((r = sd_bus_message_read(m, "i", &call.expireTimeout)) < 0) return r;
        if (!self->options_.notifyError.empty()) {
            return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.Failed", "%s",
                                              self->options_.notifyError.c_str());
        }
        {
            std::lock_guard lock(self->mutex_);
            call.id = call.replacesId != 0 ? call.replacesId : self->nextId_++;
            self->calls_.push_back(call);
        }
        self->changed_.notify_all();
        return sd_bus_reply_method_return(m, "u", call.id);
    }

    static int readHints(sd_bus_message* m, std::map<std::string, std::string>& hints) {
        int r = sd_bus_message_enter_container(m, 'a', "{sv}");
        if (r < 0) return r;
        while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
            const char* key;
            if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
            char type;
            const char* contents;
            if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0) return r;
            if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0) return r;
            const std::string sig = contents;
            if (sig == "s") {
                const char* s;
                r = sd_bus_message_read(m, "s", &s);
                hints[key] = s;
            } else if (sig == "b") {
                int b;
                r = sd_bus_message_read(m, "b", &b);
                hints[key] = b ? "true" : "false";
            } else if (sig == "y") {
                uint8_t y;
                r = sd_bus_message_read(m, "y", &y);
                hints[key] = std::to_string(y);
            } else if (sig == "i" || sig == "u") {
                int32_t i;
                r = sd_bus_message_read_basic(m, sig[0], &i);
                hints[key] = sig == "i" ? std::to_string(i) : std::to_string(uint32_t(i));
            } else {
                r = sd_bus_message_skip(m, contents);
            }
            if (r < 0) return r;
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;  // variant
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;  // dict entry
        }
        if (r < 0) return r;
        return sd_bus_message_exit_container(m);
    }

    static int capabilities(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* self = static_cast<FakeNotificationServer*>(data);
        sd_bus_message* raw = nullptr;
        int r = sd_bus_message_new_method_return(m, &raw);
        if (r < 0) return r;
        platform::dbus::MessagePtr reply(raw);
        std::vector<char*> list;
        for (auto& c : self->options_.capabilities) list.push_back(c.data());
        list.push_back(nullptr);
        if ((r = sd_bus_message_append_strv(reply.get(), list.data())) < 0) return r;
        return sd_bus_send(nullptr, reply.get(), nullptr);
    }

    static int serverInformation(sd_bus_message* m, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(m, "ssss", "fake-notifications", "sayloft tests", "1.0",
                                          "1.2");
    }

    static int closeNotification(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* self = static_cast<FakeNotificationServer*>(data);
        uint32_t id = 0;
        int r = sd_bus_message_read(m, "u", &id);
        if (r < 0) return r;
        {
            std::lock_guard lock(self->mutex_);
            self->closedByClient_.push_back(id);
        }
        self->changed_.notify_all();
        r = sd_bus_emit_signal(sd_bus_message_get_bus(m), kPath, kInterface, "NotificationClosed",
                               "uu", id, uint32_t(3));
        if (r < 0) return r;
        return sd_bus_reply_method_return(m, "");
    }

    static const sd_bus_vtable* vtable() {
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("GetCapabilities", "", "as", capabilities, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("GetServerInformation", "", "ssss", serverInformation,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("CloseNotification", "u", "", closeNotification,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_SIGNAL("ActionInvoked", "us", 0),
            SD_BUS_SIGNAL("NotificationClosed", "uu", 0),
            SD_BUS_VTABLE_END,
        };
        return table;
    }
};

FakeNotificationServer::FakeNotificationServer(Options options) : options_(std::move(options)) {
    if (!options_.serve) return;
    try {
        loop_ = std::make_unique<BusLoop>(bus_.address());
        loop_->withBus([this](sd_bus* bus) {
            check(sd_bus_add_object_vtable(bus, nullptr, kPath, kInterface, Callbacks::vtable(),
                                           this),
                  nullptr, "add object");
            check(sd_bus_request_name(bus, "org.freedesktop.Notifications", 0), nullptr,
                  "request name");
        });
    } catch (const platform::dbus::BusError& e) {
        throw BusUnavailable(std::string("fake notification server: ") + e.what());
    }
}

FakeNotificationServer::~FakeNotificationServer() {
    loop_.reset();  // before the bus goes away
}

std::vector<NotifyCall> FakeNotificationServer::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<uint32_t> FakeNotificationServer::closedByClient() const {
    std::lock_guard lock(mutex_);
    return closedByClient_;
}

bool FakeNotificationServer::waitForCalls(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
}

void FakeNotificationServer::click(uint32_t id, const std::string& action) {
    loop_->withBus([&](sd_bus* bus) {
        check(sd_bus_emit_signal(bus, kPath, kInterface, "ActionInvoked", "us", id, action.c_str()),
              nullptr, "ActionInvoked");
        check(
            sd_bus_emit_signal(bus, kPath, kInterface, "NotificationClosed", "uu", id, uint32_t(2)),
            nullptr, "NotificationClosed");
    });
}

void FakeNotificationServer::clickFromOtherPeer(uint32_t id) {
    BusLoop other(address());
    other.withBus([&](sd_bus* bus) {
        check(sd_bus_emit_signal(bus, kPath, kInterface, "ActionInvoked", "us", id, "default"),
              nullptr, "ActionInvoked");
        // The bus handles a connection's messages in order: once it answers, the signal is out.
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                         "org.freedesktop.DBus", "GetId", &error, &reply, "");
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        check(r, nullptr, "GetId");
    });
}

void FakeNotificationServer::close(uint32_t id, uint32_t reason) {
    loop_->withBus([&](sd_bus* bus) {
        check(sd_bus_emit_signal(bus, kPath, kInterface, "NotificationClosed", "uu", id, reason),
              nullptr, "NotificationClosed");
    });
}

}  // namespace sayloft::test
