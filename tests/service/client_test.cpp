#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <regex>

#include "core/clock.hpp"
#include "sayloft/version.hpp"
#include "service/wendrel_client.hpp"
#include "service_test_support.hpp"

extern char** environ;

namespace sayloft::test {
namespace {

using service::ClientError;
using service::WendrelClient;
using Kind = ClientError::Kind;

constexpr const char* kToken = "tok_0123456789abcdefSECRET";

// A paired client talking to a scripted server.
struct ClientFixture : ::testing::Test {
    ScriptedServer server;
    FileKeychain keys;
    core::ManualClock clock;
    TempDir files;

    ClientFixture() { keys.setToken(kToken); }
    WendrelClient client() { return WendrelClient(server.baseURL(), keys.keychain, clock); }
    std::filesystem::path audio(const std::string& name, const std::string& bytes = "RIFF\r\n\0x") {
        writeFile(files / name, bytes);
        return files / name;
    }
};

template <class F>
ClientError clientError(F&& call) {
    try {
        call();
    } catch (const ClientError& e) {
        return e;
    }
    ADD_FAILURE() << "no ClientError thrown";
    return ClientError::missingCredentials();
}

TEST_F(ClientFixture, UploadWithoutOptionsSendsExactlyTwoParts) {
    server.post("/api/v1/sources", [](const SeenRequest&, httplib::Response& res) {
        json(res, R"({"status":"queued","task_id":"t1"})");
    });
    server.start();
    const std::string bytes("\x00\x01\r\n--binary\xff", 13);
    auto result = client().uploadAudio(audio("Memo.M4A", bytes), "voice_memo");
    EXPECT_EQ(result.status, "queued");
    EXPECT_EQ(result.task_id, "t1");

    auto seen = server.requests().at(0);
    EXPECT_EQ(seen.header("Authorization"), std::string("Bearer ") + kToken);
    EXPECT_EQ(seen.header("X-Client-Type"), "sayloft-mac");
    EXPECT_EQ(seen.header("X-Client-Version"), sayloft::kVersion);
    EXPECT_EQ(seen.header("X-Client-Platform"), "macos_menubar");
    EXPECT_TRUE(std::regex_match(
        seen.header("Content-Type"),
        std::regex("multipart/form-data; boundary=----SayloftBoundary"
                   "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
    ASSERT_EQ(seen.parts.size(), 2u);
    EXPECT_EQ(seen.parts[0].name, "content_source");
    EXPECT_EQ(seen.parts[0].content, "voice_memo");
    EXPECT_EQ(seen.parts[1].name, "file");
    EXPECT_EQ(seen.parts[1].filename, "Memo.M4A");
    EXPECT_EQ(seen.parts[1].content_type, "audio/mp4");
    EXPECT_EQ(seen.parts[1].content, bytes);
}

TEST_F(ClientFixture, UploadWireBytesAreExact) {
    RawServer raw(
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 22\r\n"
        "Connection: close\r\n\r\n{\"status\":\"processed\"}");
    WendrelClient client("http://127.0.0.1:" + std::to_string(raw.port()) + "/api/v1/",
                         keys.keychain, clock);
    client.uploadAudio(audio("talk.ogg", "OggS"), "meeting", "de", {"a", "b c"},
                       {{"device", "laptop"}, {"app", "x"}});
    const std::string wire = raw.request();

    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(wire, m, std::regex("boundary=(----SayloftBoundary[-0-9A-F]{36})")));
    const std::string b = m[1];
    const auto head = wire.substr(0, wire.find("\r\n\r\n") + 2);
    EXPECT_EQ(head.rfind("POST /api/v1/sources HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_TRUE(std::regex_search(
        head, std::regex("\r\nAuthorization: Bearer [^\r]+\r\nContent-Type: multipart/form-data; "
                         "boundary=[^\r]+\r\nX-Client-Type: sayloft-mac\r\nX-Client-Version: "
                         "[^\r]+\r\nX-Client-Platform: macos_menubar\r\n")))
        << head;
    EXPECT_EQ(head.find("Expect:"), std::string::npos);

    const std::string expected =
        "--" + b +
        "\r\nContent-Disposition: form-data; name=\"content_source\"\r\n\r\nmeeting\r\n" + "--" +
        b + "\r\nContent-Disposition: form-data; name=\"language\"\r\n\r\nde\r\n" + "--" + b +
        "\r\nContent-Disposition: form-data; name=\"tags\"\r\n\r\na,b c\r\n" + "--" + b +
        "\r\nContent-Disposition: form-data; name=\"content_source_metadata\"\r\n\r\n" +
        "{\"app\":\"x\",\"device\":\"laptop\"}\r\n" + "--" + b +
        "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"talk.ogg\"\r\n" +
        "Content-Type: application/octet-stream\r\n\r\nOggS\r\n" + "--" + b + "--\r\n";
    EXPECT_EQ(wire.substr(wire.find("\r\n\r\n") + 4), expected);
}

TEST_F(ClientFixture, EveryClientErrorText) {
    server.get("/api/v1/sources/plan/status", [](const SeenRequest&, httplib::Response& res) {
        json(res, R"({"error":"plan_required","plan":"Pro"})", 402);
    });
    server.get("/api/v1/sources/msg/status", [](const SeenRequest&, httplib::Response& res) {
        json(res, R"({"plan":"Pro","message":"Upgrade to keep going"})", 402);
    });
    server.get("/api/v1/sources/junk/status", [](const SeenRequest&, httplib::Response& res) {
        res.status = 402;
        res.set_content("<html>", "text/html");
    });
    server.get("/api/v1/sources/empty500/status",
               [](const SeenRequest&, httplib::Response& res) { res.status = 500; });
    server.get("/api/v1/sources/bin/status", [](const SeenRequest&, httplib::Response& res) {
        res.status = 503;
        res.set_content(std::string("\xff\xfe", 2), "application/octet-stream");
    });
    server.get("/api/v1/sources/badjson/status",
               [](const SeenRequest&, httplib::Response& res) { json(res, "{nope"); });
    server.get("/api/v1/sources/nokey", [](const SeenRequest&, httplib::Response& res) {
        json(res, R"({"success":true,"result":{}})");
    });
    server.post("/api/v1/sources", [](const SeenRequest&, httplib::Response& res) {
        json(res, R"({"task_id":"t"})");
    });
    server.start();
    auto c = client();

    EXPECT_STREQ(clientError([&] { c.status("plan"); }).what(),
                 "Wendrel refused this request for your plan (402, needs Pro)");
    EXPECT_STREQ(clientError([&] { c.status("msg"); }).what(),
                 "Wendrel refused this request (402): Upgrade to keep going");
    auto undecodable = clientError([&] { c.status("junk"); });
    EXPECT_EQ(undecodable.kind(), Kind::planRequired);
    EXPECT_STREQ(undecodable.what(), "Wendrel refused this request for your plan (402)");
    EXPECT_STREQ(clientError([&] { c.status("empty500"); }).what(), "WL request failed (500): ");
    EXPECT_STREQ(clientError([&] { c.status("bin"); }).what(), "WL request failed (503): <binary>");
    EXPECT_STREQ(clientError([&] { c.status("unrouted-404"); }).what(),
                 "WL request failed (404): not found");
    EXPECT_STREQ(clientError([&] { c.status("badjson"); }).what(),
                 "WL response malformed: status: the body is not valid JSON");
    EXPECT_STREQ(clientError([&] { c.source("nokey"); }).what(),
                 "WL response malformed: source: missing key \"cache_key\"");
    EXPECT_STREQ(
        clientError([&] { c.uploadAudio(audio("a.m4a"), "memo"); }).what(),
        "WL response malformed: upload: missing key \"status\" -- body: {\"task_id\":\"t\"}");
    EXPECT_STREQ(clientError([&] { c.uploadAudio(files / "missing.m4a", "memo"); }).what(),
                 ("Cannot read audio file: " + (files / "missing.m4a").string()).c_str());
}

TEST_F(ClientFixture, TransportErrorsPassThroughWithCurlsText) {
    // A port that is bound but not listening refuses connections.
    int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len);
    WendrelClient c("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/api/v1",
                    keys.keychain, clock);
    try {
        c.status("k");
        FAIL() << "no error";
    } catch (const service::TransportError& e) {
        EXPECT_NE(std::string(e.what()).find("Failed to connect"), std::string::npos) << e.what();
    }
    ::close(sock);
}

TEST_F(ClientFixture, WithoutTokenNothingIsSent) {
    keys.keychain.write(service::Keychain::kDeviceTokenAccount, std::nullopt);
    server.start();
    auto c = client();
    EXPECT_EQ(clientError([&] { c.uploadAudio(audio("a.m4a"), "memo"); }).kind(),
              Kind::missingCredentials);
    EXPECT_STREQ(clientError([&] { c.status("k"); }).what(),
                 "Not connected to Wendrel (run `sayloft pair`, or use Connect in the tray menu)");
    EXPECT_EQ(clientError([&] { c.source("k"); }).kind(), Kind::missingCredentials);
    EXPECT_EQ(clientError([&] { c.listAllSources(); }).kind(), Kind::missingCredentials);
    EXPECT_EQ(c.currentKey("a.m4a", std::nullopt, 3), std::nullopt);

    clock.setAutoAdvance(true);
    const auto start = clock.now();
    EXPECT_EQ(c.cacheKey("t1", core::seconds(600)), std::nullopt);
    EXPECT_EQ(clock.now() - start, core::seconds(600));
    EXPECT_EQ(clock.totalSlept(), core::seconds(600));  // 120 pauses of 5 s
    EXPECT_EQ(server.count(), 0u);
}

TEST_F(ClientFixture, CacheKeyRetriesEveryFiveSecondsUntilItsDeadline) {
    std::vector<core::TimePoint> asked;
    server.get("/api/v1/sources/tasks/(.*)", [&](const SeenRequest& req, httplib::Response& res) {
        asked.push_back(clock.now());
        if (req.path.ends_with("/done") && asked.size() == 4)
            json(res, R"({"status":"done","result":{"cache_key":"ck-9"}})");
        else if (asked.size() == 2)
            res.status = 500;
        else
            json(res, R"({"status":"processing","cache_key":""})");
    });
    server.start();
    clock.setAutoAdvance(true);
    const auto start = clock.now();
    EXPECT_EQ(client().cacheKey("done", core::seconds(600)), "ck-9");
    ASSERT_EQ(asked.size(), 4u);
    for (size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(asked[i] - start, core::seconds(5.0 * i));

    asked.clear();
    EXPECT_EQ(client().cacheKey("never", core::seconds(30)), std::nullopt);
    EXPECT_EQ(asked.size(), 6u);  // at 0, 5, ... 25 s; the deadline ends it at 30 s
}

// Serves `pages` pages chained by cursors "c1", "c2"...; the last one says has_more false
// unless `endless`.
void servePages(ScriptedServer& server, int pages, bool endless = false) {
    server.get("/api/v1/sources", [=](const SeenRequest& req, httplib::Response& res) {
        auto before = req.query.find("before");
        int page = before == req.query.end() ? 1 : std::stoi(before->second.substr(1)) + 1;
        bool more = endless || page < pages;
        std::string next = more ? R"(,"next_cursor":"c)" + std::to_string(page) + "\"" : "";
        json(res, R"({"files":[{"cache_key":"k)" + std::to_string(page) +
                      R"(","original_filename":"p.m4a"}],"count":1,"has_more":)" +
                      (more ? "true" : "false") + next + "}");
    });
}

TEST_F(ClientFixture, ListingFollowsCursorsAndStops) {
    servePages(server, 3);
    server.start();
    auto all = client().listAllSources(true);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].cache_key, "k3");
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].query, (std::multimap<std::string, std::string>{{"include_deleted", "true"},
                                                                      {"limit", "100"}}));
    EXPECT_EQ(seen[2].query, (std::multimap<std::string, std::string>{
                                 {"before", "c2"}, {"include_deleted", "true"}, {"limit", "100"}}));
}

TEST_F(ClientFixture, ListingEndsWhenMoreIsAnnouncedWithoutCursor) {
    server.get("/api/v1/sources", [](const SeenRequest&, httplib::Response& res) {
        json(res, R"({"files":[{"cache_key":"a"},{"cache_key":"b"}],"count":2,"has_more":true})");
    });
    server.start();
    EXPECT_EQ(client().listAllSources().size(), 2u);
    EXPECT_EQ(server.count(), 1u);
    EXPECT_EQ(server.requests()[0].query.count("include_deleted"), 0u);
}

TEST_F(ClientFixture, ListingGivesUpAfter200Pages) {
    servePages(server, 0, /*endless=*/true);
    server.start();
    EXPECT_STREQ(clientError([&] { client().listAllSources(); }).what(),
                 "WL response malformed: list: pagination exceeded 200 pages");
    EXPECT_EQ(server.count(), 200u);
}

TEST_F(ClientFixture, CurrentKeySkipsFailedAndExcludedEntries) {
    server.get("/api/v1/sources", [](const SeenRequest& req, httplib::Response& res) {
        if (!req.query.count("before")) {
            json(res, R"({"files":[
                {"cache_key":"bad","original_filename":"m.m4a","status":"FAILED"},
                {"cache_key":"old","original_filename":"m.m4a","status":"completed"},
                {"cache_key":"del","original_filename":"m.m4a","is_deleted":true},
                {"cache_key":"other","original_filename":"n.m4a"}],
                "count":4,"has_more":true,"next_cursor":"p2"})");
        } else {
            json(res, R"({"files":[{"cache_key":"new","original_filename":"m.m4a"}],
                "count":1,"has_more":false})");
        }
    });
    server.start();
    auto c = client();
    EXPECT_EQ(c.currentKey("m.m4a", "old", 3), "new");
    EXPECT_EQ(c.currentKey("m.m4a", "old", 1), std::nullopt);
    EXPECT_EQ(c.currentKey("m.m4a", std::nullopt, 3), "old");
    for (const auto& seen : server.requests()) EXPECT_EQ(seen.query.count("include_deleted"), 0u);

    WendrelClient broken("http://127.0.0.1:1/api/v1", keys.keychain, clock);
    EXPECT_EQ(broken.currentKey("m.m4a", std::nullopt, 3), std::nullopt);
}

TEST_F(ClientFixture, GateSerialisesUploadsInArrivalOrderAndSurvivesFailures) {
    std::mutex m;
    std::condition_variable cv;
    bool releaseFirst = false;
    std::vector<std::string> order;
    server.post("/api/v1/sources", [&](const SeenRequest& req, httplib::Response& res) {
        std::unique_lock lock(m);
        order.push_back(req.parts.at(0).content);
        cv.notify_all();
        if (order.size() == 1) {
            cv.wait(lock, [&] { return releaseFirst; });
            res.status = 500;  // the first upload fails
            return;
        }
        json(res, R"({"status":"queued"})");
    });
    server.start();
    auto& gate = service::uploadGate();
    auto upload = [&](const std::string& name) {
        return std::async(std::launch::async, [&, name, path = audio(name + ".m4a")] {
            return client().uploadAudio(path, name).status;
        });
    };

    auto first = upload("first");
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return order.size() == 1; });
    }
    auto second = upload("second");
    while (gate.waiterCount() < 1) std::this_thread::yield();
    auto third = upload("third");
    while (gate.waiterCount() < 2) std::this_thread::yield();
    EXPECT_EQ(server.count(), 1u);  // nothing overtook the running upload
    {
        std::lock_guard lock(m);
        releaseFirst = true;
        cv.notify_all();
    }
    EXPECT_THROW(first.get(), ClientError);
    EXPECT_EQ(second.get(), "queued");
    EXPECT_EQ(third.get(), "queued");
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_FALSE(gate.busy());
}

TEST(UploadGate, CancelledWaiterLeavesTheQueue) {
    service::UploadGate gate;
    auto held = std::make_optional(gate.acquire());
    std::stop_source stop;
    auto waiter = std::async(std::launch::async, [&] { gate.acquire(stop.get_token()); });
    while (gate.waiterCount() < 1) std::this_thread::yield();
    stop.request_stop();
    EXPECT_THROW(waiter.get(), service::Cancelled);
    EXPECT_EQ(gate.waiterCount(), 0u);
    held.reset();
    EXPECT_FALSE(gate.busy());
}

// Runs a program without a shell; true when it exits with 0.
bool run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST_F(ClientFixture, HttpsCertificatesAreAlwaysVerified) {
    const auto key = files / "key.pem", cert = files / "cert.pem";
    if (!run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
              "-days", "1", "-keyout", key.string(), "-out", cert.string()}))
        GTEST_SKIP() << "openssl cannot make a self-signed certificate here";
    httplib::SSLServer tls(cert.c_str(), key.c_str());
    bool reached = false;
    tls.Get(".*", [&](const httplib::Request&, httplib::Response& res) {
        reached = true;
        json(res, "{}");
    });
    const int port = tls.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { tls.listen_after_bind(); });
    while (!tls.is_running()) std::this_thread::yield();

    WendrelClient c("https://127.0.0.1:" + std::to_string(port) + "/api/v1", keys.keychain, clock);
    EXPECT_THROW(c.status("k"), service::TransportError);
    EXPECT_FALSE(reached);
    tls.stop();
    serving.join();
}

TEST(BaseURL, SettingWhenUsableElseTheHttpsDefault) {
    auto saved = service::resolveBaseURL("  http://127.0.0.1:8080/api/v1 ");
    EXPECT_EQ(saved.url, "http://127.0.0.1:8080/api/v1");
    EXPECT_TRUE(saved.saved);
    EXPECT_EQ(service::resolveBaseURL("   ").url, service::kDefaultBaseURL);
    EXPECT_EQ(service::resolveBaseURL("not a url").url, service::kDefaultBaseURL);
    EXPECT_FALSE(service::resolveBaseURL("not a url").saved);
    EXPECT_TRUE(std::regex_match(service::kDefaultBaseURL, std::regex("https://[^/]+/api/v1")));
}

TEST(URLs, EndpointPathsGoOnThePathAndTheBaseQueryStays) {
    using service::appendQuery;
    using service::joinURL;
    EXPECT_EQ(joinURL("https://w.example/api/v1?tenant=a%20b", "sources/k/status"),
              "https://w.example/api/v1/sources/k/status?tenant=a%20b");
    EXPECT_EQ(joinURL("http://127.0.0.1:8/api/v1//", "sources"),
              "http://127.0.0.1:8/api/v1/sources");
    EXPECT_EQ(joinURL("https://w.example", "sources"), "https://w.example/sources");
    EXPECT_EQ(appendQuery("https://w.example/s?t=1", {{"limit", "100"}, {"before", "a&b c"}}),
              "https://w.example/s?t=1&limit=100&before=a%26b%20c");
    EXPECT_EQ(appendQuery("https://w.example/s", {{"limit", "100"}}),
              "https://w.example/s?limit=100");

    for (const char* local : {"http://127.0.0.1:1/x", "http://127.8.9.10/", "http://localhost:5/",
                              "http://LOCALHOST/", "http://[::1]:80/"})
        EXPECT_TRUE(service::isLoopbackURL(local)) << local;
    for (const char* remote : {"http://192.0.2.1/", "http://127.0.0.1.example.com/",
                               "http://localhost.example/", "http://[::2]/", "not a url"})
        EXPECT_FALSE(service::isLoopbackURL(remote)) << remote;
}

TEST_F(ClientFixture, ABaseURLWithAQueryKeepsItOnEveryRequest) {
    server.get("/api/v1/sources/k/status",
               [](const SeenRequest&, httplib::Response& res) { json(res, R"({"status":{}})"); });
    server.get("/api/v1/sources", [](const SeenRequest&, httplib::Response& res) {
        json(res, R"({"files":[],"count":0,"has_more":false})");
    });
    server.start();
    WendrelClient c(server.baseURL() + "?tenant=t%201", keys.keychain, clock);
    c.status("k");
    c.listAllSources(true);
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].path, "/api/v1/sources/k/status");
    EXPECT_EQ(seen[1].path, "/api/v1/sources");
    for (const auto& req : seen) {
        ASSERT_EQ(req.query.count("tenant"), 1u) << req.path;
        EXPECT_EQ(req.query.find("tenant")->second, "t 1");
    }
    EXPECT_EQ(seen[1].query.find("limit")->second, "100");
    EXPECT_EQ(seen[1].query.find("include_deleted")->second, "true");
}

TEST_F(ClientFixture, TheTokenTakesPlainHttpOnlyToThisComputerOrASavedAddress) {
    // A documentation-only address: refused before any connection is tried.
    const std::string remote = "http://192.0.2.10/api/v1";
    WendrelClient unsaved(remote, keys.keychain, clock);
    EXPECT_THROW(unsaved.status("k"), service::InsecureDestination);
    EXPECT_THROW(unsaved.listAllSources(), service::InsecureDestination);
    EXPECT_THROW(unsaved.uploadAudio(audio("a.m4a"), "memo"), service::InsecureDestination);
    try {
        unsaved.source("k");
    } catch (const service::InsecureDestination& e) {
        EXPECT_NE(std::string(e.what()).find("sayloft pair --base-url"), std::string::npos);
        EXPECT_EQ(std::string(e.what()).find(kToken), std::string::npos);
    }
    WendrelClient saved(service::resolveBaseURL(remote), keys.keychain, clock);
    EXPECT_NO_THROW(saved.checkTokenDestination(remote + "/sources"));
    EXPECT_NO_THROW(unsaved.checkTokenDestination("https://w.example/api/v1/sources"));
    EXPECT_NO_THROW(unsaved.checkTokenDestination("http://127.0.0.1:9/api/v1/sources"));
}

TEST_F(ClientFixture, ARedirectNeverCarriesTheTokenToAnotherServer) {
    ScriptedServer other;
    other.get("/api/v1/sources/k/status",
              [](const SeenRequest&, httplib::Response& res) { json(res, R"({"status":{}})"); });
    other.start();
    server.get("/api/v1/sources/k/status", [&](const SeenRequest&, httplib::Response& res) {
        res.set_redirect(other.baseURL() + "/sources/k/status");
    });
    server.start();
    client().status("k");
    ASSERT_EQ(server.count(), 1u);
    EXPECT_EQ(server.requests()[0].header("Authorization"), std::string("Bearer ") + kToken);
    ASSERT_EQ(other.count(), 1u);  // followed, but without the token
    EXPECT_FALSE(other.requests()[0].hasHeader("Authorization"));
}

}  // namespace
}  // namespace sayloft::test
