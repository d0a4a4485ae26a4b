#include "core/log.hpp"
#include "platform/linux/scheme_handler.hpp"
#include "platform/opener.hpp"

namespace sayloft::platform {

XdgOpener::~XdgOpener() = default;

bool XdgOpener::launch(const std::string& target) {
    try {
        // Do not wait: xdg-open may live as long as the browser it starts. It is reaped later.
        openWithDefaultApplication(target, std::chrono::milliseconds(0));
        return true;
    } catch (const OpenError& e) {
        core::log("launch", "{}", e.what());
        return false;
    }
}

bool XdgOpener::openURL(const std::string& url) {
    return launch(url);
}
bool XdgOpener::openFile(const std::filesystem::path& file) {
    return launch(file.string());
}

}  // namespace sayloft::platform
