#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <optional>

#include "platform/linux/scheme_handler.hpp"
#include "test_support.hpp"

namespace sayloft::platform {
namespace {

using test::writeFile;

// Sets environment variables for the life of the object and restores them afterwards.
class ScopedEnv {
  public:
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                unsetenv(it->first.c_str());
            }
        }
    }
    void set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A desktop of our own: config and data folders below a temporary folder.
class SchemeHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env.set("XDG_CONFIG_HOME", (dir / "config").string());
        env.set("XDG_CONFIG_DIRS", (dir / "etc-xdg").string());
        env.set("XDG_DATA_HOME", (dir / "data").string());
        env.set("XDG_DATA_DIRS", (dir / "usr-share").string());
        env.set("XDG_CURRENT_DESKTOP", std::nullopt);
    }
    void app(const std::string& relative, const std::string& extra = "",
             const std::string& where = "usr-share") {
        writeFile(dir / where / "applications" / relative,
                  "[Desktop Entry]\nType=Application\nName=App\nExec=app %u\n" + extra);
    }

    test::TempDir dir;
    ScopedEnv env;
};

TEST_F(SchemeHandlerTest, DesktopFilesDeclareHandlers) {
    EXPECT_FALSE(hasSchemeHandler("obsidian"));
    app("other.desktop", "MimeType=text/plain;x-scheme-handler/obsidianx;\n");
    EXPECT_FALSE(hasSchemeHandler("obsidian"));
    app("notes.desktop", "MimeType=text/markdown;x-scheme-handler/obsidian;\n", "data");
    EXPECT_EQ(schemeHandler("obsidian"), "notes.desktop");
}

TEST_F(SchemeHandlerTest, MimeappsListChoosesInstalledVisibleApplications) {
    app("vendor/notes.desktop");  // id vendor-notes.desktop, declares nothing itself
    writeFile(dir / "config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/obsidian=missing.desktop;"
              "vendor-notes.desktop;\n");
    EXPECT_EQ(schemeHandler("obsidian"), "vendor-notes.desktop");

    app("vendor/notes.desktop", "Hidden=true\n");
    EXPECT_FALSE(hasSchemeHandler("obsidian"));
}

TEST_F(SchemeHandlerTest, RemovedAssociationsAndDesktopSpecificLists) {
    app("a.desktop", "MimeType=x-scheme-handler/obsidian;\n");
    app("b.desktop");
    writeFile(dir / "config/mimeapps.list",
              "# user choices\n[Removed Associations]\nx-scheme-handler/obsidian=a.desktop\n");
    EXPECT_FALSE(hasSchemeHandler("obsidian"));

    writeFile(dir / "etc-xdg/gnome-mimeapps.list",
              "[Added Associations]\nx-scheme-handler/obsidian=b.desktop;\n");
    EXPECT_FALSE(hasSchemeHandler("obsidian"));  // not on this desktop
    env.set("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
    EXPECT_EQ(schemeHandler("obsidian"), "b.desktop");
}

// xdg-open replaced by a script on PATH that records its arguments.
class OpenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "bin");
        env.set("PATH", (dir / "bin").string());  // never a real xdg-open
    }
    void fakeXdgOpen(const std::string& script) {
        const auto path = dir / "bin" / "xdg-open";
        writeFile(path, "#!/bin/sh\n" + script);
        chmod(path.c_str(), 0755);
    }

    test::TempDir dir;
    ScopedEnv env;
};

TEST_F(OpenTest, RunsXdgOpenWithTheTarget) {
    fakeXdgOpen("printf '%s|' \"$@\" > \"" + (dir / "args").string() + "\"\n");
    openWithDefaultApplication("/vault/_inbox/with space's.md");
    EXPECT_EQ(test::readFile(dir / "args"), "/vault/_inbox/with space's.md|");
    openWithDefaultApplication("-rf");
    EXPECT_EQ(test::readFile(dir / "args"), "./-rf|");
}

TEST_F(OpenTest, FailuresAreReported) {
    EXPECT_THROW(openWithDefaultApplication("/x"), OpenError);  // no xdg-open on PATH
    fakeXdgOpen("exit 4\n");
    try {
        openWithDefaultApplication("obsidian://open?vault=v");
        FAIL() << "expected an error";
    } catch (const OpenError& e) {
        EXPECT_STREQ(e.what(),
                     "xdg-open could not open obsidian://open?vault=v: the action failed (exit "
                     "status 4)");
    }
}

TEST_F(OpenTest, DoesNotWaitForALingeringOpener) {
    fakeXdgOpen("echo $$ > \"" + (dir / "pid").string() + "\"\nexec /bin/sleep 30\n");
    openWithDefaultApplication("/x", std::chrono::milliseconds(0));
    // The opener is still running; end it so the next call can reap it. Its pid is read once
    // the line is whole: the file exists before the echo has written to it.
    auto whole = [&] {
        auto text = test::readFile(dir / "pid");
        return !text.empty() && text.back() == '\n';
    };
    for (int i = 0; i < 500 && !whole(); ++i) usleep(10000);
    const pid_t pid = std::stoi(test::readFile(dir / "pid"));
    kill(pid, SIGTERM);
    siginfo_t info{};
    waitid(P_PID, pid, &info, WEXITED | WNOWAIT);  // ended, not yet reaped
    fakeXdgOpen("exit 0\n");
    openWithDefaultApplication("/y");
    EXPECT_EQ(kill(pid, 0), -1);  // reaped by the later call
}

}  // namespace
}  // namespace sayloft::platform
