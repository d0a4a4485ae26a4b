#pragma once

#include <sys/types.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace sayloft::platform {

// Opens web addresses and files with the desktop's default application.
class Opener {
  public:
    virtual ~Opener() = default;
    // True when the opening program could be started.
    virtual bool openURL(const std::string& url) = 0;
    virtual bool openFile(const std::filesystem::path& file) = 0;
};

// Runs xdg-open with the address as its only argument (no shell), without waiting for it:
// xdg-open may stay alive as long as the browser it started. Finished ones are reaped later.
class XdgOpener : public Opener {
  public:
    ~XdgOpener() override;
    bool openURL(const std::string& url) override;
    bool openFile(const std::filesystem::path& file) override;

  private:
    bool launch(const std::string& target);
};

}  // namespace sayloft::platform
