#include <gtest/gtest.h>
#include <stdlib.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "fake_notification_server.hpp"
#include "platform/linux/freedesktop_notifications.hpp"
#include "platform/notifications.hpp"
#include "platform_fakes.hpp"

namespace sayloft::platform {
namespace {

using test::FakeNotificationServer;
using Outcome = PostResult::Outcome;

// Collects activations delivered on the notifications' own thread.
class Clicks {
  public:
    Notifications::ActivationHandler handler() {
        return [this](const Notification& n) {
            std::lock_guard lock(mutex_);
            seen_.push_back(n);
            changed_.notify_all();
        };
    }
    std::vector<Notification> waitFor(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [&] { return seen_.size() >= count; });
        return seen_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Notification> seen_;
};

std::optional<FakeNotificationServer> startServer(FakeNotificationServer::Options options,
                                                  std::string& whyNot) {
    try {
        return std::optional<FakeNotificationServer>(std::in_place, std::move(options));
    } catch (const test::BusUnavailable& e) {
        whyNot = e.what();
        return std::nullopt;
    }
}

// Starts a server named `var`; the optional statements adjust its options `o` first.
#define START_SERVER(var, ...)                         \
    FakeNotificationServer::Options var##Options;      \
    {                                                  \
        [[maybe_unused]] auto& o = var##Options;       \
        __VA_ARGS__;                                   \
    }                                                  \
    std::string var##WhyNot;                           \
    auto var = startServer(var##Options, var##WhyNot); \
    if (!var) GTEST_SKIP() << "no private D-Bus here: " << var##WhyNot

Notification note(const std::string& identifier, const std::string& title,
                  const std::string& path = "/vault/_inbox/a.md") {
    return {identifier, title, "body of " + title, {{"filePath", path}}};
}

TEST(FreedesktopNotifications, PostsAndReplacesByIdentifier) {
    START_SERVER(server);
    FreedesktopNotifications notifications(server->address());
    EXPECT_EQ(notifications.authorizationStatus(), AuthorizationStatus::authorized);

    EXPECT_TRUE(notifications.post(note("sayloft.transcript.1", "Sending to Wendrel")).posted());
    EXPECT_TRUE(notifications.post(note("sayloft.transcript.2", "Sending to Wendrel")).posted());
    EXPECT_TRUE(notifications.post(note("sayloft.transcript.1", "Transcript ready")).posted());

    const auto calls = server->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].appName, "sayloft");
    EXPECT_EQ(calls[0].summary, "Sending to Wendrel");
    EXPECT_EQ(calls[0].body, "body of Sending to Wendrel");
    EXPECT_EQ(calls[0].actions, (std::vector<std::string>{"default", "Open"}));
    EXPECT_EQ(calls[0].hints.at("desktop-entry"), "sayloft");
    EXPECT_EQ(calls[0].expireTimeout, -1);
    EXPECT_EQ(calls[0].replacesId, 0u);
    EXPECT_EQ(calls[1].replacesId, 0u);
    EXPECT_NE(calls[1].id, calls[0].id);
    EXPECT_EQ(calls[2].replacesId, calls[0].id);  // the ready banner replaces the sending one
    EXPECT_EQ(calls[2].summary, "Transcript ready");
}

TEST(FreedesktopNotifications, ClickReachesHandlerWithLatestContent) {
    START_SERVER(server);
    FreedesktopNotifications notifications(server->address());
    Clicks clicks;
    notifications.setActivationHandler(clicks.handler());

    notifications.post(note("sayloft.transcript.1", "Sending", "/vault/_inbox/1.md"));
    notifications.post(note("sayloft.transcript.2", "Sending", "/vault/_inbox/2.md"));
    notifications.post(note("sayloft.transcript.2", "Ready", "/vault/_inbox/2-ready.md"));
    const uint32_t first = server->calls()[0].id;
    const uint32_t second = server->calls()[1].id;

    server->click(9999);             // another application's notification
    server->click(first, "snooze");  // not the default action
    server->click(second);
    const auto seen = clicks.waitFor(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].identifier, "sayloft.transcript.2");
    EXPECT_EQ(seen[0].title, "Ready");
    EXPECT_EQ(seen[0].userInfo.at("filePath"), "/vault/_inbox/2-ready.md");
}

TEST(FreedesktopNotifications, ClicksCountOnlyFromTheServerForLiveNotifications) {
    START_SERVER(server);
    FreedesktopNotifications notifications(server->address());
    Clicks clicks;
    notifications.setActivationHandler(clicks.handler());
    for (auto title : {"One", "Two", "Three"}) {
        notifications.post(note(std::string("sayloft.transcript.") + title, title));
    }
    const auto calls = server->calls();

    server->close(calls[0].id, 1);  // expired into the server's history
    server->close(calls[1].id, 2);  // dismissed by the user
    server->clickFromOtherPeer(calls[2].id);
    server->click(calls[1].id);
    server->click(calls[0].id);  // signals arrive in order: all of the above were seen before it
    const auto seen = clicks.waitFor(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].title, "One");

    notifications.post(note("sayloft.transcript.Two", "Two again"));
    EXPECT_EQ(server->calls().back().replacesId, 0u);
}

TEST(FreedesktopNotifications, HandlerMayPostAgain) {
    START_SERVER(server);
    FreedesktopNotifications notifications(server->address());
    notifications.setActivationHandler(
        [&](const Notification& n) { notifications.post(note(n.identifier + ".again", "Again")); });
    notifications.post(note("sayloft.test", "Transcript ready"));
    server->click(server->calls()[0].id);
    ASSERT_TRUE(server->waitForCalls(2));
    EXPECT_EQ(server->calls()[1].summary, "Again");
}

TEST(FreedesktopNotifications, ConcurrentPostsKeepOneServerIdPerIdentifier) {
    START_SERVER(server);
    FreedesktopNotifications notifications(server->address());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                notifications.post(note("sayloft.t." + std::to_string((t + i) % 5), "x"));
            }
        });
    }
    for (auto& t : threads) t.join();
    const auto calls = server->calls();
    ASSERT_EQ(calls.size(), 100u);
    std::set<uint32_t> ids;
    for (const auto& c : calls) ids.insert(c.id);
    EXPECT_EQ(ids.size(), 5u);
}

TEST(FreedesktopNotifications, NoServerMeansDeniedAndNothingSent) {
    START_SERVER(bus, o.serve = false);
    FreedesktopNotifications notifications(bus->address());
    EXPECT_EQ(notifications.authorizationStatus(), AuthorizationStatus::denied);
    bool granted = true;
    notifications.requestAuthorization([&](bool g) { granted = g; });
    EXPECT_FALSE(granted);
    const auto result = notifications.post(note("sayloft.test", "Transcript ready"));
    EXPECT_EQ(result.outcome, Outcome::off);
    EXPECT_NE(result.error.find("org.freedesktop.Notifications"), std::string::npos);
}

TEST(FreedesktopNotifications, NoBusMeansOff) {
    FreedesktopNotifications notifications("unix:path=/nonexistent/sayloft-test-bus");
    EXPECT_EQ(notifications.authorizationStatus(), AuthorizationStatus::denied);
    const auto result = notifications.post(note("sayloft.test", "x"));
    EXPECT_EQ(result.outcome, Outcome::off);
    EXPECT_FALSE(result.error.empty());
}

TEST(FreedesktopNotifications, ServerErrorIsReported) {
    START_SERVER(server, o.notifyError = "too many notifications");
    FreedesktopNotifications notifications(server->address());
    const auto result = notifications.post(note("sayloft.test", "x"));
    EXPECT_EQ(result.outcome, Outcome::failed);
    EXPECT_EQ(result.error, "too many notifications");
}

TEST(FreedesktopNotifications, BodyIsEscapedOnlyForMarkupServers) {
    const Notification n{"sayloft.test", "Q&A <draft>", "a < b & c > d", {}};
    {
        START_SERVER(server);
        FreedesktopNotifications(server->address()).post(n);
        EXPECT_EQ(server->calls().at(0).body, "a &lt; b &amp; c &gt; d");
        EXPECT_EQ(server->calls().at(0).summary, "Q&A <draft>");
    }
    {
        START_SERVER(plain, o.capabilities = {"actions", "body"});
        FreedesktopNotifications(plain->address()).post(n);
        EXPECT_EQ(plain->calls().at(0).body, "a < b & c > d");
    }
}

// Points DBUS_SESSION_BUS_ADDRESS somewhere for the life of the object.
class SessionBusAddress {
  public:
    explicit SessionBusAddress(const std::string& address) {
        if (const char* v = getenv("DBUS_SESSION_BUS_ADDRESS")) previous_ = v;
        set(address);
    }
    ~SessionBusAddress() {
        if (previous_) {
            setenv("DBUS_SESSION_BUS_ADDRESS", previous_->c_str(), 1);
        } else {
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
        }
    }
    void set(const std::string& address) { setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1); }

  private:
    std::optional<std::string> previous_;
};

TEST(FreedesktopNotifications, SessionBusAndReconnectAfterItRestarts) {
    START_SERVER(first);
    SessionBusAddress session(first->address());
    FreedesktopNotifications notifications;
    ASSERT_TRUE(notifications.post(note("sayloft.transcript.1", "Sending")).posted());
    first.reset();

    START_SERVER(second);
    session.set(second->address());
    ASSERT_TRUE(notifications.post(note("sayloft.transcript.1", "Ready")).posted());
    ASSERT_EQ(second->calls().size(), 1u);
    EXPECT_EQ(second->calls()[0].replacesId, 0u);  // ids of the old server mean nothing here
}

TEST(FakeNotifications, ClicksAndPermission) {
    FakeNotifications fake;
    Clicks clicks;
    fake.setActivationHandler(clicks.handler());
    fake.post(note("sayloft.transcript.1", "Sending"));
    fake.post(note("sayloft.transcript.1", "Ready"));
    EXPECT_FALSE(fake.activate("sayloft.transcript.9"));
    EXPECT_TRUE(fake.activate("sayloft.transcript.1"));
    ASSERT_EQ(clicks.waitFor(1).size(), 1u);
    EXPECT_EQ(clicks.waitFor(1)[0].title, "Ready");

    fake.setAuthorizationStatus(AuthorizationStatus::notDetermined);
    fake.setGrantWhenAsked(false);
    bool granted = true;
    fake.requestAuthorization([&](bool g) { granted = g; });
    EXPECT_FALSE(granted);
    EXPECT_EQ(fake.authorizationStatus(), AuthorizationStatus::denied);
    EXPECT_EQ(fake.post(note("sayloft.test", "x")).outcome, Outcome::off);
    EXPECT_EQ(fake.posted().size(), 2u);

    fake.setGranted(true);
    fake.setPostError("busy");
    EXPECT_EQ(fake.post(note("sayloft.test", "x")).error, "busy");
}

}  // namespace
}  // namespace sayloft::platform
