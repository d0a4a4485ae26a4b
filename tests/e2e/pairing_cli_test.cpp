// Pairing from the command line against the real local service: a damaged secrets file never
// blocks it, and an address given to `pair` is where the next capture goes.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/json.hpp"
#include "wendrel_test_support.hpp"

using namespace sayloft;
namespace fs = std::filesystem;
using test::Json;

namespace {

struct PairHome {
    test::TempDir home;
    fs::path folder = home / "Drops";
    fs::path secrets = home / ".local" / "share" / "sayloft" / "secrets.json";
    fs::path settingsFile = home / ".config" / "sayloft" / "settings.json";
    test::ServerProcess server{home / "wendrel", {"--auto-approve"}};

    PairHome() {
        fs::create_directories(folder);
        server.start();
    }
    std::string serverURL() const {
        return "http://127.0.0.1:" + std::to_string(server.port()) + "/api/v1";
    }
    void writeSettings(const std::string& baseURL) {
        Json s = test::settingsFor(home / "vault");
        s["captureWendrelEnabled"] = true;
        s["wendrelBaseURL"] = baseURL;
        s["watchedFoldersRaw"] = {test::watchedFolder("drops", folder, "Drops")};
        test::writeFile(settingsFile, s.dump(2));
    }
    test::RunResult sayloft(std::vector<std::string> args) {
        args.insert(args.begin(), test::buildPath("apps/sayloft/sayloft").string());
        args.push_back("--virtual-clock");  // pairing polls and size samples pass at once
        // No Secret Service: the file store is the one in use.
        return test::run(
            args,
            test::homeEnv(home.path(), {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}}));
    }
    std::string storedToken() const {
        auto j = Json::parse(test::readFile(secrets), nullptr, false);
        if (j.is_discarded()) return "";
        return j.value("se.Marrowby.sayloft.mac", Json::object()).value("wl_device_token", "");
    }
    std::vector<fs::path> setAside() const {
        std::vector<fs::path> out;
        for (auto& e : fs::directory_iterator(secrets.parent_path()))
            if (e.path().filename().string().starts_with("secrets.json.damaged-"))
                out.push_back(e.path());
        return out;
    }
    int sourcesOnServer(const std::string& token) {
        auto client = server.client();
        auto r = client.Get("/api/v1/sources?limit=1000", test::bearer(token));
        return r && r->status == 200 ? int(Json::parse(r->body)["files"].size()) : -1;
    }
};

void writeAudio(const fs::path& path) {
    std::string out;
    ASSERT_EQ(test::runTool({"/usr/bin/sox", "-n", "-r", "16000", "-c", "1", path.string(), "synth",
                             "1", "sine", "440"},
                            out),
              0)
        << out;
}

}  // namespace

TEST(PairingCli, ADamagedSecretsFileNeverBlocksPairingOrUnpairing) {
    PairHome h;
    h.writeSettings(h.serverURL());
    for (const std::string& damaged : {std::string(), std::string("{\"se.Marrowby.sayl\x01")}) {
        fs::create_directories(h.secrets.parent_path());
        test::writeFile(h.secrets, damaged);
        const auto asideBefore = h.setAside();

        auto status = h.sayloft({"status"});
        EXPECT_EQ(status.exitCode, 0) << status.err;
        EXPECT_NE(status.out.find("Wendrel: not connected"), std::string::npos) << status.out;
        EXPECT_EQ(status.err.find("keeping secrets"), std::string::npos) << status.err;
        auto aside = h.setAside();
        ASSERT_EQ(aside.size(), asideBefore.size() + 1);
        for (const auto& path : aside) {
            if (std::find(asideBefore.begin(), asideBefore.end(), path) == asideBefore.end()) {
                EXPECT_EQ(test::readFile(path), damaged);  // kept as it was
            }
        }

        auto pair = h.sayloft({"pair", "--no-browser"});
        ASSERT_EQ(pair.exitCode, 0) << pair.out << pair.err;
        EXPECT_NE(pair.out.find("Connected: "), std::string::npos) << pair.out;
        EXPECT_FALSE(h.storedToken().empty());
        EXPECT_EQ(pair.out.find("Saved "), std::string::npos);  // the address was in use already
        EXPECT_NE(h.sayloft({"status"}).out.find("Wendrel: connected"), std::string::npos);

        auto unpair = h.sayloft({"unpair"});
        EXPECT_EQ(unpair.exitCode, 0) << unpair.err;
        EXPECT_TRUE(h.storedToken().empty());
        EXPECT_NE(h.sayloft({"status"}).out.find("Wendrel: not connected"), std::string::npos);
    }
}

TEST(PairingCli, PairWithAnAddressSavesItAndTheNextCaptureGoesThere) {
    PairHome h;
    const std::string elsewhere = "http://127.0.0.1:1/api/v1";  // nothing listens there
    h.writeSettings(elsewhere);
    writeAudio(h.folder / "before.wav");
    ASSERT_EQ(h.sayloft({"poll"}).exitCode, 0);  // the first look only marks what is there

    auto pair = h.sayloft({"pair", "--base-url", h.serverURL(), "--no-browser"});
    ASSERT_EQ(pair.exitCode, 0) << pair.out << pair.err;
    EXPECT_NE(pair.out.find("Saved " + h.serverURL() + " as the Wendrel address"),
              std::string::npos)
        << pair.out;
    EXPECT_EQ(Json::parse(test::readFile(h.settingsFile))["wendrelBaseURL"], h.serverURL());
    const std::string token = h.storedToken();
    ASSERT_FALSE(token.empty());

    writeAudio(h.folder / "after.wav");
    auto poll = h.sayloft({"poll"});
    EXPECT_EQ(poll.exitCode, 0) << poll.err;
    EXPECT_NE(poll.out.find("after.wav"), std::string::npos) << poll.out << poll.err;
    EXPECT_EQ(h.sourcesOnServer(token), 1) << poll.err;

    // Unpairing names the service; another one's address is refused and nothing is removed.
    auto refused = h.sayloft({"unpair", "--base-url", elsewhere});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("paired with " + h.serverURL()), std::string::npos) << refused.err;
    EXPECT_EQ(h.storedToken(), token);
    EXPECT_EQ(h.sayloft({"unpair", "--base-url", h.serverURL()}).exitCode, 0);
    EXPECT_TRUE(h.storedToken().empty());

    auto junk = h.sayloft({"pair", "--base-url", "ftp://example/api", "--no-browser"});
    EXPECT_EQ(junk.exitCode, 2);
    EXPECT_NE(junk.err.find("Not a usable service address"), std::string::npos) << junk.err;
}
