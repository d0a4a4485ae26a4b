#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "core/log.hpp"
#include "platform/linux/bus_loop.hpp"
#include "platform/power.hpp"

namespace sayloft::platform {

namespace {

std::string systemBusAddress() {
    if (const char* a = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"); a && *a) return a;
    return "unix:path=/run/dbus/system_bus_socket";
}

std::unique_ptr<dbus::BusLoop> connectSystemBus() {
    try {
        return std::make_unique<dbus::BusLoop>(systemBusAddress());
    } catch (const std::exception&) {
        return nullptr;
    }
}

class UPowerSource : public PowerSource {
  public:
    std::optional<bool> onBattery() override {
        if (!bus_ || !bus_->connected()) bus_ = connectSystemBus();
        if (bus_) {
            auto answer = bus_->withBus([](sd_bus* bus) -> std::optional<bool> {
                sd_bus_error error = SD_BUS_ERROR_NULL;
                int value = 0;
                int r = sd_bus_get_property_trivial(
                    bus, "org.freedesktop.UPower", "/org/freedesktop/UPower",
                    "org.freedesktop.UPower", "OnBattery", &error, 'b', &value);
                sd_bus_error_free(&error);
                if (r < 0) return std::nullopt;
                return value != 0;
            });
            if (answer) return answer;
        }
        return onBatteryFromSysfs("/sys/class/power_supply");
    }

  private:
    std::unique_ptr<dbus::BusLoop> bus_;
};

class LogindSleepWatch : public SleepWatch {
  public:
    LogindSleepWatch() = default;
    ~LogindSleepWatch() override {
        release();
        if (bus_) {
            bus_->withBus([this](sd_bus*) {
                sd_bus_slot_unref(slot_);
                slot_ = nullptr;
                return 0;
            });
            bus_->stop();
        }
    }

    bool hold(const std::string& why) override {
        if (fd_ >= 0) return true;
        // The system bus is joined at the first recording, not before: an idle engine holds
        // nothing. It stays joined afterwards, so that the wake after a sleep is heard.
        if (!bus_) {
            bus_ = connectSystemBus();
            if (!bus_) return false;
            bus_->withBus([this](sd_bus* bus) {
                int r =
                    sd_bus_match_signal(bus, &slot_, "org.freedesktop.login1",
                                        "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                        "PrepareForSleep", &LogindSleepWatch::onSignal, this);
                if (r < 0) core::log("recorder", "cannot follow sleep and wake ({})", -r);
                return r;
            });
        }
        fd_ = bus_->withBus([&](sd_bus* bus) {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_message* reply = nullptr;
            int fd = -1;
            int r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "Inhibit", &error, &reply,
                                       "ssss", "sleep", "sayloft", why.c_str(), "delay");
            if (r >= 0 && sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0)
                fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            else
                fd = -1;
            sd_bus_message_unref(reply);
            sd_bus_error_free(&error);
            return fd;
        });
        return fd_ >= 0;
    }

    void release() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void setHandler(std::function<void(bool)> handler) override {
        std::lock_guard guard(mutex_);
        handler_ = std::move(handler);
    }

  private:
    static int onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<LogindSleepWatch*>(userdata);
        int going = 0;
        if (sd_bus_message_read(m, "b", &going) < 0) return 0;
        self->bus_->defer([self, going] {
            std::function<void(bool)> handler;
            {
                std::lock_guard guard(self->mutex_);
                handler = self->handler_;
            }
            if (handler) handler(going != 0);
        });
        return 0;
    }

    std::unique_ptr<dbus::BusLoop> bus_;
    sd_bus_slot* slot_ = nullptr;
    int fd_ = -1;
    std::mutex mutex_;
    std::function<void(bool)> handler_;
};

}  // namespace

std::unique_ptr<PowerSource> systemPowerSource() {
    return std::make_unique<UPowerSource>();
}

std::unique_ptr<SleepWatch> systemSleepWatch() {
    return std::make_unique<LogindSleepWatch>();
}

}  // namespace sayloft::platform
