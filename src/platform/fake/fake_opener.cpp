#include "platform/opener.hpp"

namespace sayloft::platform {

bool FakeOpener::openURL(const std::string& url) {
    std::lock_guard lock(mutex_);
    opened_.push_back(url);
    return true;
}

bool FakeOpener::openFile(const std::filesystem::path& file) {
    std::lock_guard lock(mutex_);
    opened_.push_back(file.string());
    return true;
}

std::vector<std::string> FakeOpener::opened() const {
    std::lock_guard lock(mutex_);
    return opened_;
}

}  // namespace sayloft::platform
