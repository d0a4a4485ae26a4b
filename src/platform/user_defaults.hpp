#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "core/clock.hpp"
#include "core/json.hpp"

namespace sayloft::platform {

// Small per-machine flags under "sayloft." keys. Not user settings.
class UserDefaults {
  public:
    virtual ~UserDefaults() = default;
    virtual std::optional<bool> boolValue(const std::string& key) const = 0;
    virtual std::optional<core::TimePoint> dateValue(const std::string& key) const = 0;
    virtual void setBool(const std::string& key, bool value) = 0;
    virtual void setDate(const std::string& key, core::TimePoint value) = 0;
    virtual void remove(const std::string& key) = 0;
};

// A JSON file in the state directory, "sayloft.defaults.json", rewritten
// atomically on every change. A corrupt file reads as empty and is replaced at the next change.
class JsonFileDefaults : public UserDefaults {
  public:
    explicit JsonFileDefaults(std::filesystem::path file = defaultPath());
    static std::filesystem::path defaultPath();

    std::optional<bool> boolValue(const std::string& key) const override;
    std::optional<core::TimePoint> dateValue(const std::string& key) const override;
    void setBool(const std::string& key, bool value) override;
    void setDate(const std::string& key, core::TimePoint value) override;
    void remove(const std::string& key) override;

  private:
    core::Json load() const;
    void store(const core::Json& values);
    std::filesystem::path file_;
    mutable std::mutex mutex_;
};

}  // namespace sayloft::platform
