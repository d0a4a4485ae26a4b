// The sleep lock and the battery reading against stand-ins for logind and UPower on a private
// bus, reached the way the product reaches the system bus.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "fake_notification_server.hpp"
#include "platform/linux/bus_loop.hpp"
#include "platform/power.hpp"

using namespace sayloft;

namespace {

// org.freedesktop.login1 and org.freedesktop.UPower, as much of them as the recorder uses.
struct SystemStandIn {
    std::mutex mutex;
    std::vector<std::string> inhibits;  // "what who mode"
    int lockReadEnd = -1;               // our side of the last lock handed out
    bool onBattery = false;

    static int inhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* s = static_cast<SystemStandIn*>(self);
        const char *what, *who, *why, *mode;
        if (sd_bus_message_read(m, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
        int fds[2];
        if (::pipe(fds) != 0) return -errno;
        {
            std::lock_guard g(s->mutex);
            s->inhibits.push_back(std::string(what) + " " + who + " " + mode);
            if (s->lockReadEnd >= 0) ::close(s->lockReadEnd);
            s->lockReadEnd = fds[0];
        }
        int r = sd_bus_reply_method_return(m, "h", fds[1]);
        ::close(fds[1]);
        return r;
    }
    static int getOnBattery(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                            void* self, sd_bus_error*) {
        auto* s = static_cast<SystemStandIn*>(self);
        std::lock_guard g(s->mutex);
        return sd_bus_message_append(reply, "b", int(s->onBattery));
    }
    // Whether the holder still keeps the last lock open.
    bool lockHeld() {
        std::lock_guard g(mutex);
        if (lockReadEnd < 0) return false;
        pollfd p{lockReadEnd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
};

const sd_bus_vtable kLogin[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", &SystemStandIn::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
    SD_BUS_VTABLE_END,
};
const sd_bus_vtable kUPower[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("OnBattery", "b", &SystemStandIn::getOnBattery, 0, 0),
    SD_BUS_VTABLE_END,
};

}  // namespace

TEST(PowerOnTheBus, SleepLockIsADelayLockAndSleepAndWakeAreHeard) {
    std::unique_ptr<test::PrivateBus> bus;
    try {
        bus = std::make_unique<test::PrivateBus>();
    } catch (const test::BusUnavailable& e) {
        GTEST_SKIP() << e.what();
    }
    SystemStandIn standIn;
    platform::dbus::BusLoop server(bus->address());
    server.withBus([&](sd_bus* b) {
        sd_bus_add_object_vtable(b, nullptr, "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", kLogin, &standIn);
        sd_bus_add_object_vtable(b, nullptr, "/org/freedesktop/UPower", "org.freedesktop.UPower",
                                 kUPower, &standIn);
        sd_bus_request_name(b, "org.freedesktop.login1", 0);
        sd_bus_request_name(b, "org.freedesktop.UPower", 0);
        return 0;
    });
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus->address().c_str(), 1);

    auto power = platform::systemPowerSource();
    EXPECT_EQ(power->onBattery(), false);
    {
        std::lock_guard g(standIn.mutex);
        standIn.onBattery = true;
    }
    EXPECT_EQ(power->onBattery(), true);

    auto sleep = platform::systemSleepWatch();
    std::mutex m;
    std::vector<bool> heard;
    sleep->setHandler([&](bool going) {
        std::lock_guard g(m);
        heard.push_back(going);
    });
    ASSERT_TRUE(sleep->hold("sayloft is recording audio"));
    EXPECT_EQ(standIn.inhibits, std::vector<std::string>{"sleep sayloft delay"});
    EXPECT_TRUE(standIn.lockHeld());
    sleep->release();
    EXPECT_TRUE(test::eventually([&] { return !standIn.lockHeld(); }, 10));

    for (int going : {1, 0}) {
        server.withBus([&](sd_bus* b) {
            return sd_bus_emit_signal(b, "/org/freedesktop/login1",
                                      "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                                      going);
        });
    }
    EXPECT_TRUE(test::eventually(
        [&] {
            std::lock_guard g(m);
            return heard.size() == 2;
        },
        10));
    std::lock_guard g(m);
    EXPECT_EQ(heard, (std::vector<bool>{true, false}));
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
