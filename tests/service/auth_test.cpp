#include <gtest/gtest.h>

#include "core/json.hpp"
#include "platform/opener.hpp"
#include "platform_fakes.hpp"
#include "service/wendrel_auth.hpp"
#include "service/wendrel_client.hpp"
#include "service_test_support.hpp"
#include "settings/settings.hpp"

namespace sayloft::test {
namespace {

using service::PairingState;
using service::WendrelAuth;
using Kind = PairingState::Kind;
namespace text = service::pairing_text;

constexpr const char* kToken = "wdt_abcdefghijklmnop_SECRET";

struct AuthFixture : ::testing::Test {
    ScriptedServer server;
    FileKeychain keys;
    core::ManualClock clock;
    platform::FakeOpener opener;
    std::mutex mutex;
    std::vector<PairingState> states;
    std::vector<core::TimePoint> polls;
    int interval = 0;
    int expiresIn = 600;
    std::string verificationURL = "https://wendrel.example/device?code=ABCD";
    // The token endpoint's answer to poll number n (1-based).
    std::function<void(int, httplib::Response&)> answer = [](int, httplib::Response& res) {
        json(res, R"({"status":"authorization_pending"})");
    };
    std::unique_ptr<service::Keychain> keychain;  // over another store, when a test gives one
    std::unique_ptr<WendrelAuth> auth;

    void start(std::shared_ptr<platform::SecretStore> store = nullptr) {
        server.post("/api/v1/auth/devices/init",
                    [this](const SeenRequest&, httplib::Response& res) {
                        json(res, core::Json{{"device_code", "dc-1"},
                                             {"user_code", "ABCD-EFGH"},
                                             {"verification_url", verificationURL},
                                             {"interval", interval},
                                             {"expires_in", expiresIn}}
                                      .dump());
                    });
        server.post("/api/v1/auth/devices/token",
                    [this](const SeenRequest&, httplib::Response& res) {
                        int n;
                        {
                            std::lock_guard lock(mutex);
                            polls.push_back(clock.now());
                            n = int(polls.size());
                        }
                        answer(n, res);
                    });
        server.get("/api/v1/sources/k/status", [](const SeenRequest&, httplib::Response& res) {
            json(res, R"({"status":{"transcription":{"status":"completed","word_count":3}}})");
        });
        server.start();
        keychain = store ? std::make_unique<service::Keychain>(store) : nullptr;
        auth = std::make_unique<WendrelAuth>(keychain ? *keychain : keys.keychain, opener, clock,
                                             [] { return std::string("Desk"); });
        auth->setObserver([this](const PairingState& s) {
            std::lock_guard lock(mutex);
            states.push_back(s);
        });
    }
    PairingState pair() {
        auth->connect(server.baseURL());
        EXPECT_TRUE(auth->waitUntilFinished(std::chrono::seconds(20)));
        return auth->state();
    }
    std::vector<Kind> kinds() {
        std::lock_guard lock(mutex);
        std::vector<Kind> out;
        for (const auto& s : states) out.push_back(s.kind);
        return out;
    }
};

TEST_F(AuthFixture, PairsAndTheNextRequestUsesTheToken) {
    answer = [](int n, httplib::Response& res) {
        if (n < 4) return json(res, R"({"status":"authorization_pending"})");
        json(res, core::Json{{"status", "approved"},
                             {"token", kToken},
                             {"scopes", {"kb:read", "kb:write"}},
                             {"device_id", "d1"}}
                      .dump());
    };
    clock.setAutoAdvance(true);
    LogCollector logs;
    start();
    bool resumed = false;
    auth->setOnConnected([&] { resumed = true; });
    const auto t0 = clock.now();
    PairingState end = pair();

    ASSERT_EQ(end.kind, Kind::connected) << end.message;
    EXPECT_EQ(end.tokenPrefix, "wdt_abcdefgh");
    EXPECT_EQ(end.scopes, (std::vector<std::string>{"kb:read", "kb:write"}));
    EXPECT_TRUE(resumed);
    EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::idle, Kind::pairing, Kind::connected}));
    EXPECT_EQ(states[1].userCode, "ABCD-EFGH");
    EXPECT_EQ(states[1].expiresAt, t0 + std::chrono::seconds(600));
    EXPECT_EQ(opener.opened(), std::vector<std::string>{verificationURL});
    ASSERT_EQ(polls.size(), 4u);  // an interval of 0 polls once per second
    for (size_t i = 0; i < polls.size(); ++i) EXPECT_EQ(polls[i] - t0, std::chrono::seconds(i + 1));

    auto seen = server.requests();
    EXPECT_EQ(core::Json::parse(seen[0].body), (core::Json{{"client_type", "sayloft-mac"},
                                                           {"name", "Desk (sayloft)"},
                                                           {"scopes", {"kb:read", "kb:write"}}}));
    EXPECT_EQ(core::Json::parse(seen[1].body), (core::Json{{"device_code", "dc-1"}}));
    for (const auto& req : seen) {
        EXPECT_EQ(req.header("Content-Type"), "application/json");
        for (const char* h :
             {"Authorization", "X-Client-Type", "X-Client-Version", "X-Client-Platform"})
            EXPECT_FALSE(req.hasHeader(h)) << h << " on " << req.path;
    }

    service::WendrelClient client(server.baseURL(), keys.keychain, clock);
    auto status = client.status("k");
    ASSERT_TRUE(status.transcription);
    EXPECT_EQ(status.transcription->word_count, 3);
    EXPECT_EQ(server.requests().back().header("Authorization"), std::string("Bearer ") + kToken);

    for (const auto& line : logs.lines()) EXPECT_EQ(line.find(kToken), std::string::npos) << line;
}

TEST_F(AuthFixture, PollsAtTheGivenIntervalAfterThePageOpens) {
    interval = 5;
    answer = [](int n, httplib::Response& res) {
        json(res, n < 2 ? R"({"status":"authorization_pending"})" : R"({"status":"denied"})");
    };
    clock.setAutoAdvance(true);
    start();
    const auto t0 = clock.now();
    EXPECT_EQ(pair().message, text::kDenied);
    ASSERT_EQ(polls.size(), 2u);
    EXPECT_EQ(polls[0] - t0, std::chrono::seconds(5));
    EXPECT_EQ(polls[1] - t0, std::chrono::seconds(10));
}

TEST_F(AuthFixture, LocalExpiryWinsOverPending) {
    interval = 1;
    expiresIn = 3;
    clock.setAutoAdvance(true);
    start();
    PairingState end = pair();
    EXPECT_EQ(end.kind, Kind::failed);
    EXPECT_EQ(end.message, text::kExpired);
    EXPECT_EQ(polls.size(), 2u);  // at 1 s and 2 s; at 3 s the code has lapsed
}

struct Outcome {
    std::string tokenStatus;  // HTTP status of the token answer
    std::string tokenBody;
    std::string message;
};

TEST_F(AuthFixture, EveryWayAnAttemptCanEnd) {
    const std::vector<Outcome> outcomes{
        {"200", R"({"status":"approved","token":""})", text::kNoToken},
        {"200", R"({"status":"approved"})", text::kNoToken},
        {"200", R"({"status":"expired"})", text::kExpired},
        {"200", R"({"status":"later"})", "Unexpected pairing status: later"},
        {"500", "boom", "Wendrel returned HTTP 500. boom"},
        {"200", R"({"token":"t"})", "missing key \"status\""},
    };
    size_t current = 0;
    answer = [&](int, httplib::Response& res) {
        json(res, outcomes[current].tokenBody, std::stoi(outcomes[current].tokenStatus));
    };
    clock.setAutoAdvance(true);
    start();
    for (current = 0; current < outcomes.size(); ++current) {
        PairingState end = pair();
        EXPECT_EQ(end.kind, Kind::failed);
        EXPECT_EQ(end.message, outcomes[current].message);
    }
    EXPECT_FALSE(keys.keychain.hasDeviceToken());
    EXPECT_EQ(keys.store->read(service::Keychain::kService, service::Keychain::kDeviceTokenAccount)
                  .status,
              platform::SecretStatus::notFound);
}

TEST_F(AuthFixture, InitFailuresEndTheAttempt) {
    clock.setAutoAdvance(true);
    verificationURL = "not a url";
    start();
    EXPECT_EQ(pair().message, text::kUnusableURL);
    EXPECT_TRUE(opener.opened().empty());

    verificationURL = "https://wendrel.example/device";
    service::WendrelAuth offline(keys.keychain, opener, clock);
    offline.connect("http://127.0.0.1:9/api/v1/missing");  // nothing listens on the discard port
    offline.waitUntilFinished(std::chrono::seconds(20));
    EXPECT_EQ(offline.state().kind, Kind::failed);
    EXPECT_FALSE(offline.state().message.empty());

    auth->connect(server.baseURL() + "/elsewhere");  // unrouted: 404 with "not found"
    auth->waitUntilFinished(std::chrono::seconds(20));
    EXPECT_EQ(auth->state().message, "Wendrel returned HTTP 404. not found");
    EXPECT_EQ(auth->state().httpStatus, 404);
    EXPECT_EQ(offline.state().httpStatus, std::nullopt);  // no HTTP answer at all
}

TEST_F(AuthFixture, AStoreFailureIsReported) {
    answer = [](int, httplib::Response& res) {
        json(res, core::Json{{"status", "approved"}, {"token", kToken}}.dump());
    };
    auto failing = std::make_shared<platform::MemorySecretStore>();
    failing->setFailing(true);
    clock.setAutoAdvance(true);
    start(failing);
    EXPECT_EQ(pair().message, text::kSaveFailed);
}

TEST_F(AuthFixture, DisconnectWhilePairingEndsIdle) {
    keys.setToken("old-token-value");
    start();
    auth->connect(server.baseURL());
    ASSERT_TRUE(clock.waitForSleepers(1));
    auth->disconnect();
    EXPECT_EQ(auth->state().kind, Kind::idle);
    EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::idle, Kind::pairing, Kind::idle}));
    EXPECT_TRUE(polls.empty());
    EXPECT_FALSE(keys.keychain.hasDeviceToken());

    keys.setToken("old-token-value");
    auth->connect(server.baseURL());
    ASSERT_TRUE(clock.waitForSleepers(1));
    auth->cancel();  // stops the attempt but keeps the existing pairing
    EXPECT_EQ(auth->state().kind, Kind::connected);
    EXPECT_EQ(auth->state().tokenPrefix, "old-token-va");
}

TEST_F(AuthFixture, RefreshFollowsTheKeychain) {
    start();
    keys.setToken(kToken);
    auth->refreshConnectedState();
    EXPECT_EQ(auth->state().kind, Kind::connected);
    EXPECT_EQ(auth->state().tokenPrefix, "wdt_abcdefgh");
    EXPECT_TRUE(auth->state().scopes.empty());
    keys.keychain.write(service::Keychain::kDeviceTokenAccount, std::nullopt);
    auth->refreshConnectedState();
    EXPECT_EQ(auth->state().kind, Kind::idle);
}

// A settings file in a temporary folder naming `baseURL` (none when empty).
struct SettingsFile {
    TempDir dir;
    std::filesystem::path path = dir / "settings.json";
    std::unique_ptr<settings::Settings> store;
    explicit SettingsFile(const std::string& baseURL) {
        settings::Settings initial(path);
        if (!baseURL.empty()) initial.settings().wendrelBaseURL = baseURL;
        initial.save();
        store = std::make_unique<settings::Settings>(path);
    }
    std::optional<std::string> onDisk() const { return settings::Settings(path).wendrelBaseURL(); }
};

TEST_F(AuthFixture, PairingWithAnAddressSavesItBeforeTheTokenIsStored) {
    answer = [](int, httplib::Response& res) {
        json(res, core::Json{{"status", "approved"}, {"token", kToken}}.dump());
    };
    clock.setAutoAdvance(true);
    start();
    const std::string old = "https://old.example/api/v1";
    SettingsFile file(old);
    auto& s = *file.store;

    // The token is written after the address: whoever reads the token finds the new address.
    std::optional<std::string> addressWhenTokenAppeared;
    keys.setToken("old-service-token");
    auth->setObserver([&](const PairingState& state) {
        if (state.kind == Kind::connected) addressWhenTokenAppeared = file.onDisk();
    });
    auth->connectAndSave(server.baseURL(), s);
    ASSERT_TRUE(auth->waitUntilFinished(std::chrono::seconds(20)));
    ASSERT_EQ(auth->state().kind, Kind::connected) << auth->state().message;
    EXPECT_EQ(auth->state().savedBaseURL, server.baseURL());
    EXPECT_EQ(addressWhenTokenAppeared, server.baseURL());
    EXPECT_EQ(keys.keychain.deviceToken(), kToken);

    auth->connectAndSave(server.baseURL(), s);  // already the address in use: nothing to save
    ASSERT_TRUE(auth->waitUntilFinished(std::chrono::seconds(20)));
    EXPECT_EQ(auth->state().kind, Kind::connected);
    EXPECT_EQ(auth->state().savedBaseURL, "");

    // The store fails: the attempt fails and no token is left beside the new address.
    SettingsFile again(old);
    auto failing = std::make_shared<platform::MemorySecretStore>();
    failing->write(service::Keychain::kService, service::Keychain::kDeviceTokenAccount, "old");
    failing->setFailing(true);
    service::Keychain broken(failing);
    WendrelAuth failingAuth(broken, opener, clock);
    failingAuth.connectAndSave(server.baseURL(), *again.store);
    ASSERT_TRUE(failingAuth.waitUntilFinished(std::chrono::seconds(20)));
    EXPECT_EQ(failingAuth.state().message, text::kSaveFailed);
    EXPECT_EQ(again.onDisk(), old);  // the old token could not go, so the old address stays
}

TEST_F(AuthFixture, AnUnreadableSettingsFileFailsThePairingAndKeepsTheFile) {
    answer = [](int, httplib::Response& res) {
        json(res, core::Json{{"status", "approved"}, {"token", kToken}}.dump());
    };
    clock.setAutoAdvance(true);
    start();
    TempDir dir;
    writeFile(dir / "settings.json", "{\"vaultPath\": ");
    settings::Settings damaged(dir / "settings.json");
    auth->connectAndSave(server.baseURL(), damaged);
    ASSERT_TRUE(auth->waitUntilFinished(std::chrono::seconds(20)));
    EXPECT_EQ(auth->state().kind, Kind::failed);
    EXPECT_NE(auth->state().message.find("settings.json"), std::string::npos);
    EXPECT_FALSE(keys.keychain.hasDeviceToken());
    EXPECT_EQ(readFile(dir / "settings.json"), "{\"vaultPath\": ");
}

TEST(Unpair, RefusesAnotherServicesAddressAndKeepsTheToken) {
    FileKeychain keys;
    keys.setToken(kToken);
    SettingsFile file("https://mine.example/api/v1");
    try {
        service::unpair(keys.keychain, *file.store, std::string("https://other.example/api/v1"));
        ADD_FAILURE() << "not refused";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("paired with https://mine.example/api/v1"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(keys.keychain.deviceToken(), kToken);
    service::unpair(keys.keychain, *file.store, std::string(" https://mine.example/api/v1/ "));
    EXPECT_FALSE(keys.keychain.hasDeviceToken());
    EXPECT_NO_THROW(service::unpair(keys.keychain, *file.store));  // nothing left: still fine

    // Without a saved address the built-in one is in use.
    SettingsFile none("");
    EXPECT_THROW(service::unpair(keys.keychain, *none.store, std::string("http://127.0.0.1:1/x")),
                 Error);
    EXPECT_NO_THROW(
        service::unpair(keys.keychain, *none.store, std::string(service::kDefaultBaseURL)));
}

TEST(PairingBaseURL, GivenElseSavedElseDefault) {
    SettingsFile file("https://mine.example/api/v1");
    EXPECT_EQ(service::pairingBaseURL(std::nullopt, *file.store), "https://mine.example/api/v1");
    EXPECT_EQ(service::pairingBaseURL(std::string(" http://10.1.2.3:8765/api/v1 "), *file.store),
              "http://10.1.2.3:8765/api/v1");
    EXPECT_THROW(service::pairingBaseURL(std::string("ftp://x/api"), *file.store), Error);
    EXPECT_THROW(service::pairingBaseURL(std::string("nonsense"), *file.store), Error);
    SettingsFile none("");
    EXPECT_EQ(service::pairingBaseURL(std::nullopt, *none.store), service::kDefaultBaseURL);
}

TEST(ComputerName, PrettyHostNameElseHostName) {
    TempDir dir;
    writeFile(dir / "machine-info",
              "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna's \\\"Work\\\" Laptop\"\n");
    EXPECT_EQ(service::localComputerName(dir / "machine-info"), "Anna's \"Work\" Laptop");
    writeFile(dir / "plain", "PRETTY_HOSTNAME=Desk\n");
    EXPECT_EQ(service::localComputerName(dir / "plain"), "Desk");
    char host[256] = {0};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(service::localComputerName(dir / "missing"), host);
}

}  // namespace
}  // namespace sayloft::test
