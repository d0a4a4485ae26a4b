#pragma once

// Stand-ins for the desktop services, for tests only: they record what they were asked and can
// be told to refuse or fail. Product code uses the real ones in src/platform/linux.

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/notifications.hpp"
#include "platform/opener.hpp"
#include "platform/secret_store.hpp"
#include "platform/user_defaults.hpp"

namespace sayloft::platform {

// Records what was posted. While the status is `denied` posts are refused (`off`) and
// not recorded; a request while `notDetermined` settles the status with the `grantWhenAsked`
// answer.
class FakeNotifications : public Notifications {
  public:
    AuthorizationStatus authorizationStatus() override;
    void requestAuthorization(std::function<void(bool)> answer) override;
    PostResult post(const Notification& notification) override;
    std::vector<Notification> posted() const;
    int authorizationRequests() const;
    void setGranted(bool granted);  // authorized or denied
    void setAuthorizationStatus(AuthorizationStatus status);
    void setGrantWhenAsked(bool grant);
    // Makes every later post fail with `error` (empty: posts succeed again).
    void setPostError(std::string error);
    // Simulates a click on the latest notification posted with `identifier`; false when none.
    bool activate(const std::string& identifier);

  private:
    mutable std::mutex mutex_;
    std::vector<Notification> posted_;
    AuthorizationStatus status_ = AuthorizationStatus::authorized;
    bool grantWhenAsked_ = true;
    int requests_ = 0;
    std::string postError_;
};

// Records what it was asked to open.
class FakeOpener : public Opener {
  public:
    bool openURL(const std::string& url) override;
    bool openFile(const std::filesystem::path& file) override;
    std::vector<std::string> opened() const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> opened_;
};

// In memory; can be told to fail.
class MemorySecretStore : public SecretStore {
  public:
    SecretResult read(const std::string& service, const std::string& account) override;
    SecretResult write(const std::string& service, const std::string& account,
                       const std::string& value) override;
    SecretResult remove(const std::string& service, const std::string& account) override;
    std::string describe() const override { return "memory"; }
    void setFailing(bool failing);
    // Answers every operation with `unavailable`, as a Secret Service that is not running.
    void setUnavailable(bool unavailable);

  private:
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> items_;
    bool failing_ = false;
    bool unavailable_ = false;
};

// In memory.
class MemoryDefaults : public UserDefaults {
  public:
    std::optional<bool> boolValue(const std::string& key) const override;
    std::optional<core::TimePoint> dateValue(const std::string& key) const override;
    void setBool(const std::string& key, bool value) override;
    void setDate(const std::string& key, core::TimePoint value) override;
    void remove(const std::string& key) override;
    bool contains(const std::string& key) const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, bool> bools_;
    std::map<std::string, core::TimePoint> dates_;
};

}  // namespace sayloft::platform
