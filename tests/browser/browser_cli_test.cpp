#include <gtest/gtest.h>

#include <signal.h>

#include <random>
#include <thread>

#include "app/control_socket.hpp"
#include "browser/file_scanner.hpp"
#include "browser/trash.hpp"
#include "browser_test_support.hpp"
#include "core/json.hpp"

using namespace sayloft;
namespace fs = std::filesystem;

namespace {

struct Cli {
    test::TempDir home;
    fs::path vault = home.path() / "vault";

    Cli() {
        fs::create_directories(vault);
        fs::create_directories(home.path() / ".config" / "sayloft");
        core::Json settings = {{"vaultPath", vault.string()},
                               {"vaultName", "vault"},
                               {"additionalPaths", core::Json::array()},
                               {"refreshInterval", 60},
                               {"recentDays", 7},
                               {"maxFiles", 500},
                               {"includeExtensions", {"md", "pdf"}},
                               {"excludeDirs", {".git"}}};
        test::writeFile(home.path() / ".config" / "sayloft" / "settings.json", settings.dump());
    }
    void writeSettings(const fs::path& vaultPath) {
        auto file = home.path() / ".config" / "sayloft" / "settings.json";
        auto settings = core::Json::parse(test::readFile(file));
        settings["vaultPath"] = vaultPath.string();
        test::writeFile(file, settings.dump());
    }
    test::RunResult run(std::vector<std::string> args) {
        args.insert(args.begin(), test::buildPath("apps/sayloft/sayloft").string());
        return test::run(args, test::homeEnv(home.path()));
    }
};

}  // namespace

TEST(BrowserCli, MenuSearchAndTrash) {
    Cli cli;
    test::writeFile(cli.vault / "Clients" / "240506-board-meeting.md", "x");
    test::writeFile(cli.vault / "Clients" / "offer.pdf", "x");
    test::writeFile(cli.vault / "_inbox" / "250101-093000.md", "x");

    auto menu = cli.run({"menu"});
    ASSERT_EQ(menu.exitCode, 0) << menu.err;
    EXPECT_NE(menu.out.find("Today (2)\n  240506-board-meeting.md  \xE2\x80\x94  Clients\n"),
              std::string::npos)
        << menu.out;
    EXPECT_NE(menu.out.find("Inbox (1)\n  250101-093000.md"), std::string::npos) << menu.out;
    auto json = core::Json::parse(cli.run({"menu", "--json"}).out)["items"];
    ASSERT_EQ(json.size(), 5u);
    EXPECT_EQ(json[0]["title"], "Today (2)");
    EXPECT_EQ(json[0]["items"][0]["action"], "openFile");

    auto search = cli.run({"search", "clients", "board"});
    ASSERT_EQ(search.exitCode, 0) << search.err;
    EXPECT_NE(search.out.find("/Clients/240506-board-meeting.md\n"), std::string::npos);
    EXPECT_EQ(std::count(search.out.begin(), search.out.end(), '\n'), 1);
    auto results = core::Json::parse(cli.run({"search", "--json", "offer"}).out)["results"];
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["filename"], "offer.pdf");

    // Only files of the listed folders go to the trash.
    test::writeFile(cli.home.path() / "elsewhere.md", "keep");
    auto refused = cli.run({"trash", (cli.home.path() / "elsewhere.md").string()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(fs::exists(cli.home.path() / "elsewhere.md"));
    auto moved = cli.run({"trash", (cli.vault / "Clients" / "offer.pdf").string()});
    EXPECT_EQ(moved.exitCode, 0) << moved.err;
    EXPECT_FALSE(fs::exists(cli.vault / "Clients" / "offer.pdf"));
    EXPECT_TRUE(fs::exists(cli.home.path() / ".local/share/Trash/files/offer.pdf"));
    EXPECT_TRUE(fs::exists(cli.home.path() / ".local/share/Trash/info/offer.pdf.trashinfo"));
}

TEST(BrowserCli, KilledScansNeverLeaveABrokenCache) {
    Cli cli;
    for (int i = 0; i < 300; ++i)
        test::writeFile(cli.vault / ("f" + std::to_string(i / 50)) / (std::to_string(i) + ".md"),
                        "x");
    auto cache = cli.home.path() / ".cache" / "sayloft" / "scan-cache.json";
    auto binary = test::buildPath("apps/sayloft/sayloft").string();
    std::mt19937 random(42);
    int complete = 0;
    for (int round = 0; round < 12; ++round) {
        pid_t pid = test::spawnBackground({binary, "menu"}, cli.home.path() / "menu.log",
                                          test::homeEnv(cli.home.path()));
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 1500));
        ::kill(pid, SIGKILL);
        test::waitExit(pid);
        if (!fs::exists(cache)) continue;
        auto loaded = browser::FileScanner::loadCache(cache);
        ASSERT_TRUE(loaded) << "round " << round << ": the cache does not read back";
        EXPECT_EQ(loaded->vaultFiles.size(), 300u);
        ++complete;
    }
    // At least one run got as far as writing the cache; the kill test was not vacuous.
    auto finished = cli.run({"menu"});
    ASSERT_EQ(finished.exitCode, 0);
    EXPECT_EQ(browser::FileScanner::loadCache(cache)->vaultFiles.size(), 300u);
    RecordProperty("rounds_with_cache", complete);
}

TEST(BrowserCli, BesideARunningDaemonTheCommandsAnswerFromItsScanner) {
    Cli cli;
    test::writeFile(cli.vault / "Clients" / "240506-board-meeting.md", "x");
    test::writeFile(cli.vault / "Clients" / "offer.pdf", "x");
    auto binary = test::buildPath("apps/sayloft/sayloft").string();
    auto log = cli.home.path() / "daemon.log";
    pid_t daemon = test::spawnBackground({binary, "run"}, log, test::homeEnv(cli.home.path()));
    auto socket = cli.home.path() / ".run" / "sayloft" / "control.sock";
    auto cache = cli.home.path() / ".cache" / "sayloft" / "scan-cache.json";
    ASSERT_TRUE(test::eventually([&] {
        auto loaded = browser::FileScanner::loadCache(cache);
        return fs::exists(socket) && loaded && loaded->vaultFiles.size() == 2;
    })) << test::readFile(log);

    std::mutex mutex;
    std::vector<std::string> events;
    auto subscriber = app::connectToEngine(socket);
    ASSERT_TRUE(subscriber);
    subscriber->send({{"id", 1}, {"method", "subscribe"}});
    ASSERT_TRUE(subscriber->receive());  // subscribed
    std::thread listener([&] {
        while (auto message = subscriber->receive()) {
            std::lock_guard lock(mutex);
            events.push_back((*message)["event"].value("event", ""));
        }
    });
    auto vaultEvents = [&] {
        std::lock_guard lock(mutex);
        return std::count(events.begin(), events.end(), "vault");
    };

    // The settings file names another vault behind the daemon's back: the menu still lists the
    // vault the daemon scans, and nothing is scanned by the command itself.
    fs::path other = cli.home.path() / "other";
    test::writeFile(other / "Notes" / "elsewhere.md", "x");
    cli.writeSettings(other);
    auto menu = cli.run({"menu", "--json"});
    ASSERT_EQ(menu.exitCode, 0) << menu.err;
    EXPECT_EQ(core::Json::parse(menu.out)["items"][0]["title"], "Today (2)");
    EXPECT_EQ(menu.err.find("scanner:"), std::string::npos) << menu.err;

    // Read again, the settings reach the daemon's scanner, which tells its subscribers.
    long before = vaultEvents();
    ASSERT_EQ(cli.run({"settings", "reload"}).exitCode, 0);
    ASSERT_TRUE(test::eventually([&] { return vaultEvents() > before; }));
    auto found = cli.run({"search", "--json", "elsewhere"});
    ASSERT_EQ(found.exitCode, 0) << found.err;
    EXPECT_EQ(core::Json::parse(found.out)["results"][0]["filename"], "elsewhere.md");

    // A trash through the daemon lands in the trash, and the file leaves the daemon's lists.
    before = vaultEvents();
    auto moved = cli.run({"trash", (other / "Notes" / "elsewhere.md").string()});
    ASSERT_EQ(moved.exitCode, 0) << moved.err;
    EXPECT_EQ(moved.out, "Moved to the trash: " +
                             (cli.home.path() / ".local/share/Trash/files/elsewhere.md").string() +
                             "\n");
    EXPECT_TRUE(fs::exists(cli.home.path() / ".local/share/Trash/info/elsewhere.md.trashinfo"));
    EXPECT_TRUE(test::eventually(
        [&] { return test::readFile(log).find("moved to the trash") != std::string::npos; }));
    EXPECT_TRUE(test::eventually([&] {
        return cli.run({"search", "--json", "elsewhere"}).out.find("elsewhere.md") ==
               std::string::npos;
    }));
    EXPECT_GT(vaultEvents(), before);
    auto refused = cli.run({"trash", (cli.vault / "Clients" / "offer.pdf").string()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("is not in the vault or a workspace folder"), std::string::npos);

    // "Refresh" answers once the daemon's lists hold what was just written.
    test::writeFile(other / "Notes" / "fresh.md", "x");
    before = vaultEvents();
    auto refresher = app::connectToEngine(socket);
    ASSERT_TRUE(refresher);
    refresher->send({{"id", 7}, {"method", "refresh"}});
    auto answer = refresher->receive();
    while (answer && !answer->contains("done")) answer = refresher->receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["exitCode"], 0);
    EXPECT_NE(cli.run({"search", "--json", "fresh"}).out.find("fresh.md"), std::string::npos);
    EXPECT_TRUE(test::eventually([&] { return vaultEvents() > before; }));

    ::kill(daemon, SIGTERM);
    EXPECT_EQ(test::waitExit(daemon), 0);
    subscriber->close();
    listener.join();
}
