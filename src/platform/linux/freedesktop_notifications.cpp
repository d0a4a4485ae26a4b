#include "platform/linux/freedesktop_notifications.hpp"

#include <algorithm>
#include <cstdlib>

#include "platform/linux/bus_loop.hpp"

namespace sayloft::platform {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kAppName = "sayloft";
constexpr uint64_t kCallTimeoutUsec = 10'000'000;
// Notifications remembered for replacement and clicks; the oldest are forgotten beyond this.
constexpr size_t kRemembered = 256;
constexpr uint32_t kClosedExpired = 1;

// Errors that mean nobody serves notifications on this bus.
bool serviceMissing(const std::string& name) {
    return name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
           name.rfind("org.freedesktop.DBus.Error.Spawn.", 0) == 0;
}

struct ErrorGuard {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~ErrorGuard() { sd_bus_error_free(&error); }
};

std::set<std::string> callGetCapabilities(sd_bus* bus) {
    ErrorGuard e;
    sd_bus_message* raw = nullptr;
    dbus::check(
        sd_bus_call_method(bus, kService, kPath, kInterface, "GetCapabilities", &e.error, &raw, ""),
        &e.error, "");
    dbus::MessagePtr reply(raw);
    char** list = nullptr;
    dbus::check(sd_bus_message_read_strv(reply.get(), &list), nullptr, "GetCapabilities reply");
    std::set<std::string> caps;
    for (char** p = list; p && *p; ++p) {
        caps.insert(*p);
        std::free(*p);
    }
    std::free(list);
    return caps;
}

struct Shown {
    uint32_t id = 0;
    std::string server;
};

Shown callNotify(sd_bus* bus, const Notification& n, uint32_t replacesId, bool markup) {
    sd_bus_message* raw = nullptr;
    dbus::check(sd_bus_message_new_method_call(bus, &raw, kService, kPath, kInterface, "Notify"),
                nullptr, "Notify");
    dbus::MessagePtr call(raw);
    sd_bus_message* m = call.get();
    const std::string body = markup ? escapeNotificationMarkup(n.body) : n.body;
    const char* actions[] = {"default", "Open", nullptr};
    int r =
        sd_bus_message_append(m, "susss", kAppName, replacesId, "", n.title.c_str(), body.c_str());
    if (r >= 0) r = sd_bus_message_append_strv(m, const_cast<char**>(actions));
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_append(m, "{sv}", "desktop-entry", "s", kAppName);
    if (r >= 0) r = sd_bus_message_append(m, "{sv}", "sound-name", "s", "message-new-instant");
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_append(m, "i", int32_t(-1));
    dbus::check(r, nullptr, "Notify");

    ErrorGuard e;
    sd_bus_message* rawReply = nullptr;
    dbus::check(sd_bus_call(bus, m, kCallTimeoutUsec, &e.error, &rawReply), &e.error, "");
    dbus::MessagePtr reply(rawReply);
    Shown shown;
    dbus::check(sd_bus_message_read(reply.get(), "u", &shown.id), nullptr, "Notify reply");
    if (const char* sender = sd_bus_message_get_sender(reply.get())) shown.server = sender;
    return shown;
}

}  // namespace

std::string escapeNotificationMarkup(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// What the bus callbacks get as userdata: the owner and the connection they arrived on.
struct FreedesktopNotifications::Listener {
    FreedesktopNotifications* owner;
    dbus::BusLoop* loop;
};

FreedesktopNotifications::FreedesktopNotifications(std::string busAddress)
    : busAddress_(std::move(busAddress)) {}

FreedesktopNotifications::~FreedesktopNotifications() {
    stop();
}

void FreedesktopNotifications::stop() {
    std::lock_guard lock(connectMutex_);
    loop_.reset();
    listener_.reset();
    forgetServer();
}

void FreedesktopNotifications::forgetServer() {
    capabilities_.reset();
    std::lock_guard lock(stateMutex_);
    posted_.clear();
}

dbus::BusLoop& FreedesktopNotifications::connection() {
    if (loop_ && loop_->connected()) return *loop_;
    // From the activation handler the broken connection cannot be replaced: its thread is ours.
    if (loop_ && loop_->onLoopThread()) throw dbus::BusError("the bus connection was lost");
    // A broken connection may mean a restarted server, whose ids mean nothing to us.
    loop_.reset();
    listener_.reset();
    forgetServer();

    auto loop = std::make_unique<dbus::BusLoop>(busAddress_);
    auto listener = std::make_unique<Listener>(Listener{this, loop.get()});
    loop->withBus([&](sd_bus* bus) {
        auto onAction = [](sd_bus_message* m, void* data, sd_bus_error*) -> int {
            uint32_t id = 0;
            const char* action = nullptr;
            if (sd_bus_message_read(m, "us", &id, &action) < 0) return 0;
            auto* l = static_cast<Listener*>(data);
            const char* sender = sd_bus_message_get_sender(m);
            l->owner->onActionInvoked(*l, sender ? sender : "", id, action);
            return 0;
        };
        auto onClosed = [](sd_bus_message* m, void* data, sd_bus_error*) -> int {
            uint32_t id = 0, reason = 0;
            if (sd_bus_message_read(m, "uu", &id, &reason) < 0) return 0;
            const char* sender = sd_bus_message_get_sender(m);
            static_cast<Listener*>(data)->owner->onClosed(sender ? sender : "", id, reason);
            return 0;
        };
        // No sender filter: servers emit from their unique name, and the client side cannot match
        // a well-known one.
        dbus::check(sd_bus_match_signal(bus, nullptr, nullptr, kPath, kInterface, "ActionInvoked",
                                        onAction, listener.get()),
                    nullptr, "cannot watch notification clicks");
        dbus::check(sd_bus_match_signal(bus, nullptr, nullptr, kPath, kInterface,
                                        "NotificationClosed", onClosed, listener.get()),
                    nullptr, "cannot watch closed notifications");
    });
    listener_ = std::move(listener);
    loop_ = std::move(loop);
    return *loop_;
}

std::set<std::string> FreedesktopNotifications::capabilities(dbus::BusLoop& loop) {
    if (!capabilities_) capabilities_ = loop.withBus(callGetCapabilities);
    return *capabilities_;
}

// Thrown by connection() when there is no bus to talk to.
struct NoBus : dbus::BusError {
    using BusError::BusError;
};

template <class Work>
auto FreedesktopNotifications::withServer(Work&& work) {
    for (int attempt = 0;; ++attempt) {
        dbus::BusLoop* loop = nullptr;
        try {
            loop = &connection();
        } catch (const dbus::BusError& e) {
            throw NoBus(e.what(), e.name());
        }
        try {
            return work(*loop);
        } catch (const dbus::BusError& e) {
            if (serviceMissing(e.name())) {
                forgetServer();
            } else if (attempt == 0 && !loop->connected()) {
                continue;  // the bus went away under us (logout, restarted bus): once more anew
            }
            throw;
        }
    }
}

AuthorizationStatus FreedesktopNotifications::authorizationStatus() {
    std::lock_guard lock(connectMutex_);
    try {
        // Asked afresh each time: the server may have gone or come.
        capabilities_ =
            withServer([](dbus::BusLoop& loop) { return loop.withBus(callGetCapabilities); });
        return AuthorizationStatus::authorized;
    } catch (const dbus::BusError&) {
        return AuthorizationStatus::denied;
    }
}

void FreedesktopNotifications::requestAuthorization(std::function<void(bool)> answer) {
    answer(authorizationStatus() == AuthorizationStatus::authorized);
}

PostResult FreedesktopNotifications::post(const Notification& n) {
    std::lock_guard lock(connectMutex_);
    try {
        return withServer([&](dbus::BusLoop& loop) { return notify(loop, n); });
    } catch (const NoBus& e) {
        return PostResult{PostResult::Outcome::off, e.what()};
    } catch (const dbus::BusError& e) {
        if (serviceMissing(e.name())) return PostResult{PostResult::Outcome::off, e.what()};
        return PostResult::failure(e.what());
    }
}

PostResult FreedesktopNotifications::notify(dbus::BusLoop& loop, const Notification& n) {
    const bool markup = capabilities(loop).count("body-markup") > 0;
    uint32_t replacesId = 0;
    {
        std::lock_guard state(stateMutex_);
        if (auto it = posted_.find(n.identifier); it != posted_.end()) {
            replacesId = it->second.serverId;
        }
    }
    Shown shown = loop.withBus([&](sd_bus* bus) { return callNotify(bus, n, replacesId, markup); });
    std::lock_guard state(stateMutex_);
    posted_[n.identifier] = Posted{n, shown.id, std::move(shown.server), ++sequence_};
    if (posted_.size() > kRemembered) {
        posted_.erase(std::min_element(posted_.begin(), posted_.end(), [](auto& a, auto& b) {
            return a.second.sequence < b.second.sequence;
        }));
    }
    return PostResult::ok();
}

void FreedesktopNotifications::onActionInvoked(Listener& listener, const std::string& sender,
                                               uint32_t serverId, const std::string& action) {
    if (action != "default") return;
    std::optional<Notification> clicked;
    {
        std::lock_guard state(stateMutex_);
        for (const auto& [identifier, p] : posted_) {
            if (p.serverId == serverId && p.server == sender) clicked = p.notification;
        }
    }
    if (!clicked) return;  // another application's notification, or one from before a restart
    listener.loop->defer([this, n = std::move(*clicked)] { activated(n); });
}

void FreedesktopNotifications::onClosed(const std::string& sender, uint32_t serverId,
                                        uint32_t reason) {
    // An expired banner may live on in the server's history and still be clicked.
    if (reason == kClosedExpired) return;
    std::lock_guard state(stateMutex_);
    std::erase_if(posted_, [&](const auto& entry) {
        return entry.second.serverId == serverId && entry.second.server == sender;
    });
}

}  // namespace sayloft::platform
