// The API over real loopback HTTP, against the service in this process on a manual clock.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <set>

#include "crypto.hpp"
#include "wendrel_test_support.hpp"

namespace sayloft::test {
namespace {

using wendrel::ServiceOptions;

Json initPairing(httplib::Client& c) {
    return parseJson(c.Post("/api/v1/auth/devices/init",
                            R"x({"client_type":"sayloft-mac","name":"desk (sayloft)",)x"
                            R"("scopes":["kb:read","kb:write"]})",
                            "application/json"));
}

Json pollToken(httplib::Client& c, const std::string& deviceCode, int* status = nullptr) {
    auto r = c.Post("/api/v1/auth/devices/token", Json{{"device_code", deviceCode}}.dump(),
                    "application/json");
    if (status) *status = r ? r->status : -1;
    return parseJson(r);
}

// The approval page as the owner's browser uses it: signs in with the owner key, then answers
// with the form's CSRF token and the session cookie.
struct OwnerBrowser {
    httplib::Client& c;
    std::string cookie;
    std::string csrf;  // the session's, as its pages carry it

    int signIn(const std::string& key, const std::string& code) {
        auto r =
            c.Post("/device/session", httplib::Params{{"owner_key", key}, {"user_code", code}});
        if (!r) return -1;
        auto set = r->get_header_value("Set-Cookie");
        cookie = set.substr(0, set.find(';'));
        if (auto shown = page(code)) {
            const std::string field = "name=\"csrf\" value=\"";
            auto at = shown->body.find(field);
            if (at != std::string::npos) {
                at += field.size();
                csrf = shown->body.substr(at, shown->body.find('"', at) - at);
            }
        }
        return r->status;
    }
    httplib::Result page(const std::string& code) {
        return c.Get(("/device?user_code=" + code).c_str(), {{"Cookie", cookie}});
    }
    int decide(const std::string& code, const std::string& decision) {
        auto r =
            c.Post("/device", {{"Cookie", cookie}},
                   httplib::Params{{"user_code", code}, {"decision", decision}, {"csrf", csrf}});
        return r ? r->status : -1;
    }
};

TEST(WendrelPairing, ApprovedInTheBrowserHandsOutOneHashedToken) {
    InProcessService s;
    auto c = s.client();
    auto init = initPairing(c);
    for (auto key : {"device_code", "user_code", "verification_url", "interval", "expires_in"}) {
        EXPECT_TRUE(init.contains(key)) << key;
    }
    EXPECT_EQ(init["interval"], 5);
    EXPECT_EQ(init["expires_in"], 600);
    EXPECT_EQ(pollToken(c, init["device_code"])["status"], "authorization_pending");

    // The verification page first asks for the owner key; signed in, it shows the code and
    // two buttons, without any script.
    std::string url = init["verification_url"];
    EXPECT_EQ(url.rfind(fmt::format("http://127.0.0.1:{}/device?user_code=", s.port()), 0), 0u);
    std::string code = init["user_code"];
    auto path = url.substr(url.find("/device"));
    auto signInPage = c.Get(path.c_str());
    ASSERT_TRUE(signInPage);
    EXPECT_NE(signInPage->body.find("name=\"owner_key\""), std::string::npos);
    EXPECT_EQ(signInPage->body.find(">Approve<"), std::string::npos);

    OwnerBrowser browser{c, {}, {}};
    ASSERT_EQ(browser.signIn(s.dirs().ownerKey(), code), 303);
    EXPECT_NE(browser.cookie.find("wl_session="), std::string::npos);
    auto pageAnswer = browser.page(code);
    ASSERT_TRUE(pageAnswer);
    EXPECT_NE(pageAnswer->body.find(code), std::string::npos);
    EXPECT_NE(pageAnswer->body.find(">Approve<"), std::string::npos);
    EXPECT_NE(pageAnswer->body.find(">Deny<"), std::string::npos);
    EXPECT_EQ(pageAnswer->body.find("<script"), std::string::npos);
    EXPECT_EQ(browser.decide(code, "approve"), 200);

    auto approved = pollToken(c, init["device_code"]);
    EXPECT_EQ(approved["status"], "approved");
    std::string token = approved["token"];
    EXPECT_GE(token.size(), 4u + 32u) << "at least 128 random bits";
    EXPECT_EQ(approved["scopes"], Json::array({"kb:read", "kb:write"}));

    int status = 0;
    pollToken(c, init["device_code"], &status);
    EXPECT_EQ(status, 400) << "a device code yields its token once";

    auto devices = s.store().devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].tokenPrefix, token.substr(0, 12));
    EXPECT_EQ(devices[0].name, "desk (sayloft)");
    auto db = readFile(s.dirs().database()) + readFile(s.dirs().root / "wendrel.db-wal");
    EXPECT_EQ(db.find(token), std::string::npos) << "the token must only be stored hashed";
    EXPECT_EQ(db.find(init["device_code"].get<std::string>()), std::string::npos);

    auto list = c.Get("/api/v1/sources", bearer(token));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->status, 200);
}

TEST(WendrelPairing, DenialAndExpiryAreReported) {
    InProcessService s;
    auto c = s.client();
    OwnerBrowser browser{c, {}, {}};
    auto denied = initPairing(c);
    ASSERT_EQ(browser.signIn(s.dirs().ownerKey(), denied["user_code"]), 303);
    EXPECT_EQ(browser.decide(denied["user_code"], "deny"), 200);
    EXPECT_EQ(pollToken(c, denied["device_code"])["status"], "denied");

    auto lapsing = initPairing(c);
    s.clock().advance(core::seconds(599));
    EXPECT_EQ(pollToken(c, lapsing["device_code"])["status"], "authorization_pending");
    s.clock().advance(core::seconds(1));
    EXPECT_EQ(pollToken(c, lapsing["device_code"])["status"], "expired");
    // An expired code can no longer be approved either.
    EXPECT_EQ(browser.decide(lapsing["user_code"], "approve"), 404);
    EXPECT_EQ(pollToken(c, lapsing["device_code"])["status"], "expired");
    int status = 0;
    pollToken(c, "never-issued", &status);
    EXPECT_EQ(status, 400);
}

TEST(WendrelAuth, EveryApiRouteWantsALiveToken) {
    InProcessService s;
    auto c = s.client();
    std::string token = s.token();
    for (const std::string path :
         {"/api/v1/sources", "/api/v1/sources/DOC_X", "/api/v1/sources/DOC_X/status",
          "/api/v1/sources/tasks/task_x"}) {
        for (const auto& headers : {httplib::Headers{}, bearer("wlt_wrong"),
                                    httplib::Headers{{"Authorization", "Basic abc"}}}) {
            auto r = c.Get(path.c_str(), headers);
            ASSERT_TRUE(r) << path;
            EXPECT_EQ(r->status, 401) << path;
            EXPECT_EQ(parseJson(r)["error"], "unauthorized") << path;
        }
    }
    auto upload = c.Post("/api/v1/sources", uploadForm("RIFF", "a.wav"));
    EXPECT_EQ(upload->status, 401);

    EXPECT_EQ(c.Get("/api/v1/sources", bearer(token))->status, 200);
    auto revoked = s.store().revokeDevices(token.substr(0, 12), 1);
    ASSERT_EQ(revoked.size(), 1u);
    EXPECT_EQ(c.Get("/api/v1/sources", bearer(token))->status, 401);
}

// Inserts `n` finished sources straight into the store, each a second apart.
std::vector<std::string> seedSources(InProcessService& s, int n, int first = 0) {
    std::vector<std::string> keys;
    for (int i = first; i < first + n; ++i) {
        wendrel::NewSource src;
        src.cacheKey = "DOC_SEED" + std::to_string(i);
        src.taskId = "task_seed" + std::to_string(i);
        src.audioSha256 = wendrel::sha256Hex(src.cacheKey);
        src.audioFile = src.taskId + ".m4a";
        src.originalFilename = "memo-" + std::to_string(i) + ".m4a";
        src.contentType = "audio/mp4";
        src.contentSource = "voice_memo";
        src.deviceId = "dev_seed";
        src.createdAt = 1.7e9 + i;
        auto inserted = s.store().insertSource(src);
        wendrel::Transcript t{"seeded text " + std::to_string(i), 3, 1.5, "seed", "Seeded", {}};
        s.store().completeJob(inserted.source.seq, t, src.createdAt + 1);
        keys.push_back(src.cacheKey);
    }
    return keys;
}

TEST(WendrelListing, PagesNewestFirstAcross250Sources) {
    InProcessService s;
    auto c = s.client();
    auto token = s.token();
    auto keys = seedSources(s, 250);
    for (int i : {7, 120, 249}) s.store().markDeleted(keys[i]);

    auto walk = [&](const std::string& extra) {
        std::vector<Json> all;
        std::vector<size_t> pageSizes;
        std::string cursor;
        for (int page = 0; page < 10; ++page) {
            std::string path = "/api/v1/sources?limit=100" + extra;
            if (!cursor.empty()) path += "&before=" + cursor;
            auto j = parseJson(c.Get(path.c_str(), bearer(token)));
            EXPECT_EQ(j["count"], j["files"].size());
            pageSizes.push_back(j["files"].size());
            for (auto& f : j["files"]) all.push_back(f);
            if (!j["has_more"].get<bool>()) {
                EXPECT_FALSE(j.contains("next_cursor"));
                break;
            }
            cursor = j["next_cursor"];
        }
        return std::make_pair(all, pageSizes);
    };

    auto [visible, sizes] = walk("");
    EXPECT_EQ(sizes, (std::vector<size_t>{100, 100, 47}));
    ASSERT_EQ(visible.size(), 247u);
    EXPECT_EQ(visible.front()["cache_key"], "DOC_SEED248");
    std::set<std::string> seen;
    double previous = 1e12;
    for (auto& f : visible) {
        seen.insert(f["cache_key"].get<std::string>());
        EXPECT_LT(f["created_at"].get<double>(), previous) << "newest first";
        previous = f["created_at"];
        EXPECT_EQ(f["status"], "completed");
        EXPECT_FALSE(f["is_deleted"].get<bool>());
    }
    EXPECT_EQ(seen.size(), 247u) << "no source twice across pages";

    auto [everything, sizesAll] = walk("&include_deleted=true");
    EXPECT_EQ(sizesAll, (std::vector<size_t>{100, 100, 50}));
    EXPECT_EQ(std::count_if(everything.begin(), everything.end(),
                            [](const Json& f) { return f["is_deleted"].get<bool>(); }),
              3);

    // A source added while paging does not shift the pages already handed out.
    auto first = parseJson(c.Get("/api/v1/sources?limit=100", bearer(token)));
    seedSources(s, 1, 1000);
    auto second = parseJson(c.Get(
        ("/api/v1/sources?limit=100&before=" + first["next_cursor"].get<std::string>()).c_str(),
        bearer(token)));
    EXPECT_EQ(second["files"][0]["cache_key"], visible[100]["cache_key"]);
}

TEST(WendrelFaults, NextAnswersOfARouteCanBeScripted) {
    InProcessService s(InProcessService::withAdmin());
    auto c = s.client();
    c.set_default_headers(s.ownerHeaders());
    auto token = s.token();
    seedSources(s, 1);
    const std::string status = "/api/v1/sources/DOC_SEED0/status";
    auto fault = [&](const Json& f) {
        auto r = c.Post("/admin/faults", f.dump(), "application/json");
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 200) << r->body;
    };

    fault({{"route", "status"}, {"code", 404}, {"count", 2}});
    EXPECT_EQ(c.Get(status.c_str(), bearer(token))->status, 404);
    EXPECT_EQ(c.Get(status.c_str(), bearer(token))->status, 404);
    EXPECT_EQ(c.Get(status.c_str(), bearer(token))->status, 200) << "only the next N answers";

    fault({{"route", "source"}, {"code", 402}, {"plan", "pro"}});
    fault({{"route", "source"}, {"code", 402}, {"message", "Transcripts need a paid plan"}});
    fault({{"route", "source"}, {"code", 402}});
    auto planOnly = parseJson(c.Get("/api/v1/sources/DOC_SEED0", bearer(token)));
    EXPECT_EQ(planOnly["plan"], "pro");
    EXPECT_FALSE(planOnly.contains("message"));
    EXPECT_EQ(parseJson(c.Get("/api/v1/sources/DOC_SEED0", bearer(token)))["message"],
              "Transcripts need a paid plan");
    auto bare = c.Get("/api/v1/sources/DOC_SEED0", bearer(token));
    EXPECT_EQ(bare->status, 402);
    EXPECT_FALSE(parseJson(bare).contains("plan"));

    fault({{"route", "*"}, {"code", 500}, {"body", ""}});
    auto empty500 = c.Get("/api/v1/sources", bearer(token));
    EXPECT_EQ(empty500->status, 500);
    EXPECT_EQ(empty500->body, "");

    fault({{"route", "list"}, {"kind", "malformed_json"}});
    auto malformed = c.Get("/api/v1/sources", bearer(token));
    EXPECT_EQ(malformed->status, 200);
    EXPECT_TRUE(parseJson(malformed).is_discarded());

    // Slow: the client gives up; the answer comes only when the service's clock moves on.
    fault({{"route", "status"}, {"kind", "slow"}, {"delay_ms", 120000}});
    auto impatient = s.client();
    impatient.set_read_timeout(0, 300000);
    auto timedOut = impatient.Get(status.c_str(), bearer(token));
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(timedOut.error(), httplib::Error::Read);
    ASSERT_TRUE(s.clock().waitForSleepers(1));
    s.clock().advance(core::seconds(120));

    EXPECT_EQ(c.Post("/admin/faults", R"({"route":"nowhere"})", "application/json")->status, 400);
    EXPECT_EQ(c.Post("/admin/faults", R"({"route":"list","code":200})", "application/json")->status,
              400);
}

TEST(WendrelFaults, AMovedSourceIsOnlyFoundUnderItsNewKey) {
    InProcessService s(InProcessService::withAdmin());
    auto c = s.client();
    c.set_default_headers(s.ownerHeaders());
    auto token = s.token();
    seedSources(s, 3);
    auto moved = parseJson(c.Post("/admin/sources/DOC_SEED1/move", "{}", "application/json"));
    std::string newKey = moved["cache_key"];
    EXPECT_EQ(newKey.rfind("DOC_", 0), 0u);
    EXPECT_EQ(c.Get("/api/v1/sources/DOC_SEED1/status", bearer(token))->status, 404);
    auto detail = parseJson(c.Get(("/api/v1/sources/" + newKey).c_str(), bearer(token)));
    EXPECT_EQ(detail["result"]["original_filename"], "memo-1.m4a");
    auto list = parseJson(c.Get("/api/v1/sources", bearer(token)));
    EXPECT_EQ(list["files"][1]["cache_key"], newKey) << "its place in the list stays";
    EXPECT_EQ(c.Post("/admin/sources/DOC_SEED1/move", "{}", "application/json")->status, 404);
    EXPECT_EQ(c.Post("/admin/sources/DOC_SEED0/move", Json{{"new_key", newKey}}.dump(),
                     "application/json")
                  ->status,
              409);
}

TEST(WendrelFaults, AdminRoutesAreOffByDefaultAndNeedTheOwnerKey) {
    InProcessService s;
    auto c = s.client();
    EXPECT_EQ(c.Post("/admin/faults", R"({"route":"list","code":500})", "application/json")->status,
              404);
    EXPECT_EQ(c.Get("/api/v1/sources", bearer(s.token()))->status, 200);

    InProcessService admin(InProcessService::withAdmin());
    auto a = admin.client();
    for (const auto& headers :
         {httplib::Headers{}, httplib::Headers{{wendrel::kOwnerKeyHeader, "0123456789abcdef"}},
          s.ownerHeaders()}) {
        EXPECT_EQ(a.Get("/admin/faults", headers)->status, 403) << "another service's key too";
    }
    EXPECT_EQ(a.Get("/admin/faults", admin.ownerHeaders())->status, 200);
}

}  // namespace
}  // namespace sayloft::test
