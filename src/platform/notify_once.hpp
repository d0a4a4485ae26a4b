#pragma once

#include <string>

#include "platform/notifications.hpp"
#include "platform/user_defaults.hpp"

namespace sayloft::platform {

// Shows a notice at most once per id on this machine: the mark "sayloft.envNotified." + id is
// set before posting, so a failed post is not retried. Removing the mark re-arms the notice.
void notifyOnce(UserDefaults& defaults, Notifications& notifications, const std::string& id,
                const std::string& title, const std::string& body);
std::string notifiedKey(const std::string& id);

}  // namespace sayloft::platform
