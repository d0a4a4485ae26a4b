// Who may pair and what a web page in the user's browser can reach: owner key, same-uid
// auto-approval, Host/Origin/media-type screening, scopes, opaque 500s, and slow clients.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "peer_credentials.hpp"
#include "wendrel_test_support.hpp"

namespace sayloft::test {
namespace {

namespace fs = std::filesystem;

Json init(httplib::Client& c) {
    return parseJson(
        c.Post("/api/v1/auth/devices/init", R"({"name":"laptop"})", "application/json"));
}

std::string poll(httplib::Client& c, const Json& started) {
    auto j =
        parseJson(c.Post("/api/v1/auth/devices/token",
                         Json{{"device_code", started["device_code"]}}.dump(), "application/json"));
    return j.value("status", "") + j.value("token", "");
}

int connectFrom(const char* source, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string tone(double seconds) {
    std::vector<int16_t> samples(static_cast<size_t>(seconds * 16000));
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(8000 * std::sin(i * 2 * M_PI * 440 / 16000));
    }
    TempDir d;
    writeWav(d / "t.wav", samples);
    return readFile(d / "t.wav");
}

TEST(WendrelOwner, WithoutTheOwnerKeyNoTokenIsIssued) {
    InProcessService s;
    auto c = s.client();
    auto started = init(c);
    std::string code = started["user_code"];
    auto key = s.dirs().ownerKey();
    EXPECT_EQ(fs::status(s.dirs().ownerKeyFile()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);

    // The form without a session, a wrong key, a session without the form's CSRF token, and
    // the owner endpoint without the key: all refused.
    EXPECT_EQ(
        c.Post("/device", httplib::Params{{"user_code", code}, {"decision", "approve"}})->status,
        403);
    auto wrong =
        c.Post("/device/session", httplib::Params{{"owner_key", std::string(key.size(), 'a')}});
    EXPECT_EQ(wrong->status, 403);
    EXPECT_FALSE(wrong->has_header("Set-Cookie"));
    auto signedIn = c.Post("/device/session", httplib::Params{{"owner_key", key}});
    ASSERT_EQ(signedIn->status, 303);
    auto set = signedIn->get_header_value("Set-Cookie");
    EXPECT_NE(set.find("HttpOnly"), std::string::npos);
    EXPECT_NE(set.find("SameSite=Strict"), std::string::npos);
    httplib::Headers withCookie{{"Cookie", set.substr(0, set.find(';'))}};
    EXPECT_EQ(c.Post("/device", withCookie,
                     httplib::Params{{"user_code", code}, {"decision", "approve"}, {"csrf", "x"}})
                  ->status,
              403);
    Json approve{{"user_code", code}};
    EXPECT_EQ(c.Post("/owner/pairings", approve.dump(), "application/json")->status, 403);
    EXPECT_EQ(c.Post("/owner/pairings", {{wendrel::kOwnerKeyHeader, "nope"}}, approve.dump(),
                     "application/json")
                  ->status,
              403);
    EXPECT_EQ(poll(c, started), "authorization_pending");

    // With the key, pairing completes.
    auto ok = c.Post("/owner/pairings", s.ownerHeaders(), approve.dump(), "application/json");
    ASSERT_EQ(ok->status, 200) << ok->body;
    EXPECT_EQ(parseJson(ok)["name"], "laptop");
    EXPECT_EQ(poll(c, started).rfind("approvedwlt_", 0), 0u);
}

TEST(WendrelOwner, AutoApprovalOnlyForTheOwnersProcessesOverLoopback) {
    // The real lookup: this test process is the client, with the service's uid.
    wendrel::ServiceOptions real;
    real.autoApprove = true;
    InProcessService same(real);
    auto c = same.client();
    EXPECT_EQ(poll(c, init(c)).rfind("approved", 0), 0u);

    // A client of another uid, or one the socket tables do not show, waits for the owner.
    for (std::optional<uid_t> found :
         {std::optional<uid_t>(::getuid() + 1), std::optional<uid_t>()}) {
        wendrel::ServiceOptions other;
        other.autoApprove = true;
        other.peerUid = [found](const wendrel::TcpConnection&) { return found; };
        InProcessService s(other);
        auto oc = s.client();
        EXPECT_EQ(poll(oc, init(oc)), "authorization_pending");
    }
    wendrel::ServiceOptions notOwner = real;
    notOwner.ownerUid = ::getuid() + 1;
    InProcessService s(notOwner);
    auto nc = s.client();
    EXPECT_EQ(poll(nc, init(nc)), "authorization_pending");
}

TEST(WendrelOwner, PeerLookupReadsTheSocketTables) {
    InProcessService s;
    int fd = connectFrom("127.0.0.1", s.port());
    ASSERT_GE(fd, 0);
    sockaddr_in mine{};
    socklen_t len = sizeof mine;
    getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &len);
    wendrel::TcpConnection conn{"127.0.0.1", ntohs(mine.sin_port), "127.0.0.1", s.port()};
    EXPECT_EQ(wendrel::tcpPeerUid(conn), ::getuid());
    close(fd);

    // Tables as the kernel prints them: IPv4 words and IPv6 (a v4-mapped client) alike.
    TempDir net;
    writeFile(net / "tcp",
              "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
              "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0 "
              "0 1 1\n");
    writeFile(net / "tcp6",
              "  sl  local_address                         remote_address                        "
              "st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
              "   0: 0000000000000000FFFF00000100007F:A000 0000000000000000FFFF00000100007F:1F90 "
              "01 00000000:00000000 00:00000000 00000000  1234 0 2 1\n");
    EXPECT_EQ(wendrel::tcpPeerUid({"127.0.0.1", 0xA000, "127.0.0.1", 0x1F90}, net.path()), 1234u);
    EXPECT_EQ(wendrel::tcpPeerUid({"127.0.0.1", 0xA001, "127.0.0.1", 0x1F90}, net.path()),
              std::nullopt);
}

TEST(WendrelBrowserGuards, ForeignHostsOriginsAndMediaTypesAreRefused) {
    InProcessService s;
    auto c = s.client();
    auto port = std::to_string(s.port());
    auto health = [&](const std::string& host) {
        return c.Get("/api/v1/health", {{"Host", host}})->status;
    };
    EXPECT_EQ(health("evil.example"), 421);
    EXPECT_EQ(health("evil.example:" + port), 421);
    EXPECT_EQ(health("127.0.0.1:1"), 421);
    EXPECT_EQ(health("localhost:" + port), 200);
    EXPECT_EQ(health("[::1]:" + port), 200);

    // The link handed out names the listen address, whatever Host the request gave.
    auto started = parseJson(c.Post("/api/v1/auth/devices/init", {{"Host", "LOCALHOST:" + port}},
                                    "{}", "application/json"));
    EXPECT_EQ(started["verification_url"].get<std::string>().rfind(
                  "http://127.0.0.1:" + port + "/device?", 0),
              0u);

    auto plain = c.Post("/api/v1/auth/devices/init", "{}", "text/plain");
    EXPECT_EQ(plain->status, 415);
    EXPECT_EQ(
        c.Post("/api/v1/auth/devices/token", "device_code=x", "application/x-www-form-urlencoded")
            ->status,
        415);

    // A form posted from another site, even with the owner's session cookie.
    auto cookie = c.Post("/device/session", httplib::Params{{"owner_key", s.dirs().ownerKey()}})
                      ->get_header_value("Set-Cookie");
    httplib::Headers crossSite{{"Origin", "http://evil.example"},
                               {"Cookie", cookie.substr(0, cookie.find(';'))}};
    auto posted =
        c.Post("/device", crossSite,
               httplib::Params{{"user_code", started["user_code"]}, {"decision", "approve"}});
    EXPECT_EQ(posted->status, 403);
    EXPECT_EQ(c.Post("/device/session", {{"Origin", "null"}},
                     httplib::Params{{"owner_key", s.dirs().ownerKey()}})
                  ->status,
              403);
    EXPECT_EQ(poll(c, started), "authorization_pending");

    // Oversized bodies and headers.
    EXPECT_EQ(c.Post("/api/v1/auth/devices/init", std::string(100 * 1024, ' '), "application/json")
                  ->status,
              413);
    httplib::Headers padding;
    for (int i = 0; i < 10; ++i)
        padding.emplace("X-Padding-" + std::to_string(i), std::string(7000, 'x'));
    auto huge = c.Get("/api/v1/health", padding);
    EXPECT_TRUE(!huge || huge->status >= 400) << "70 kB of headers are not served";
}

TEST(WendrelBrowserGuards, ScopesAreEnforcedAndInternalErrorsStayOpaque) {
    InProcessService s;
    auto c = s.client();
    auto reader = s.tokenWithScopes({"kb:read"});
    auto writer = s.tokenWithScopes({"kb:write"});
    ASSERT_FALSE(reader.empty());
    auto denied = c.Post("/api/v1/sources", bearer(reader), uploadForm(tone(1), "a.wav"));
    EXPECT_EQ(denied->status, 403);
    EXPECT_EQ(parseJson(denied)["error"], "insufficient_scope");
    EXPECT_EQ(s.store().sourceCount(), 0);
    EXPECT_EQ(c.Get("/api/v1/sources", bearer(reader))->status, 200);
    EXPECT_EQ(c.Get("/api/v1/sources", bearer(writer))->status, 403);
    EXPECT_EQ(c.Post("/api/v1/auth/devices/init", R"({"scopes":["kb:admin"]})", "application/json")
                  ->status,
              400);

    // The audio folder vanished: the failure's detail (paths) goes to the log, not the client.
    fs::remove_all(s.dirs().audio());
    auto broken = c.Post("/api/v1/sources", bearer(s.token()), uploadForm(tone(1), "b.wav"));
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->status, 500);
    auto j = parseJson(broken);
    EXPECT_EQ(j["error"], "internal_error");
    EXPECT_EQ(j["message"], "internal error (request " + j.value("request_id", "?") + ")");
    EXPECT_EQ(broken->body.find(s.dirs().root.string()), std::string::npos) << broken->body;
}

TEST(WendrelSlowClients, FiftySlowConnectionsDoNotStallHealth) {
    wendrel::ServiceOptions o;
    InProcessService s(o);
    constexpr int kSlow = 50;
    std::vector<int> slow;
    for (int i = 0; i < kSlow; ++i) {
        int fd = connectFrom("127.0.0.1", s.port());
        ASSERT_GE(fd, 0);
        send(fd, "GET /api/v1/health HTTP/1.1\r\n", 29, MSG_NOSIGNAL);
        slow.push_back(fd);
    }
    // One more byte on each now and then keeps every one of them "in progress".
    std::atomic<bool> done{false};
    std::thread dribbler([&] {
        while (!done) {
            for (int fd : slow) send(fd, "X", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    std::vector<double> ms;
    auto c = s.client();
    c.set_read_timeout(10);  // a generous deadline: the point is being answered at all
    for (int i = 0; i < 5; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        auto r = c.Get("/api/v1/health");
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
        ASSERT_TRUE(r) << "no answer with " << kSlow << " slow connections open";
        EXPECT_EQ(r->status, 200);
    }
    done = true;
    dribbler.join();
    for (int fd : slow) close(fd);
    std::sort(ms.begin(), ms.end());
    std::printf("/health with %d slow connections open: fastest %.1f ms, slowest %.1f ms\n", kSlow,
                ms.front(), ms.back());
}

TEST(WendrelSlowClients, ARequestThatNeverEndsIsCutAtItsDeadline) {
    wendrel::ServiceOptions o;
    o.limits.requestDeadline = std::chrono::milliseconds(300);
    o.limits.maxPerAddress = 3;
    InProcessService s(o);
    int fd = connectFrom("127.0.0.1", s.port());
    ASSERT_GE(fd, 0);
    send(fd, "GET /api/v1/health HTTP/1.1\r\n", 29, MSG_NOSIGNAL);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    // Dribbling does not help: the request had to be whole by its deadline.
    char buf[256];
    ssize_t n = 1;
    for (int i = 0; i < 100 && n > 0; ++i) {
        send(fd, "X", 1, MSG_NOSIGNAL);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) n = recv(fd, buf, sizeof buf, 0);
    }
    EXPECT_LE(n, 0) << "the service closed the connection";
    close(fd);

    // One address holds only so many connections; others are still served.
    std::vector<int> held;
    for (int i = 0; i < 3; ++i) held.push_back(connectFrom("127.0.0.2", s.port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int extra = connectFrom("127.0.0.2", s.port());
    pollfd p{extra, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(recv(extra, buf, sizeof buf, 0), 0) << "closed at once";
    EXPECT_EQ(s.client().Get("/api/v1/health")->status, 200);
    close(extra);
    for (int h : held) close(h);
}

}  // namespace
}  // namespace sayloft::test
