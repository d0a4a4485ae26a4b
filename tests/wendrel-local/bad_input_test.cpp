// Bad uploads and requests: each gets a clear HTTP error and leaves the service's data as it was.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include "wendrel_test_support.hpp"

namespace sayloft::test {
namespace {

namespace fs = std::filesystem;

std::string tone(double seconds) {
    std::vector<int16_t> samples(static_cast<size_t>(seconds * 16000));
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(8000 * std::sin(i * 2 * M_PI * 440 / 16000));
    }
    TempDir d;
    writeWav(d / "t.wav", samples);
    return readFile(d / "t.wav");
}

// Sends raw bytes and returns whatever comes back before the service closes the connection.
std::string rawExchange(int port, const std::string& request, bool cutConnection) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (cutConnection) shutdown(fd, SHUT_WR);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, n);
    close(fd);
    return answer;
}

class WendrelBadInput : public ::testing::Test {
  protected:
    WendrelBadInput() : s(options()) {
        token = s.token();
        auto r = c.Post("/api/v1/sources", bearer(token), uploadForm(tone(1), "good.wav"));
        EXPECT_EQ(r->status, 200);
    }
    static wendrel::ServiceOptions options() {
        wendrel::ServiceOptions o;
        o.maxUploadBytes = 256 * 1024;
        return o;
    }

    // The one good upload is all there is: database sound, no stray files.
    void expectUnchanged() {
        EXPECT_EQ(s.store().integrityCheck(), "ok");
        EXPECT_EQ(s.store().sourceCount(), 1);
        EXPECT_TRUE(fs::is_empty(s.dirs().incoming())) << "no half-received upload is left";
        std::set<std::string> onDisk;
        for (auto& e : fs::directory_iterator(s.dirs().audio())) {
            onDisk.insert(e.path().filename().string());
        }
        auto known = s.store().audioFiles();
        EXPECT_EQ(onDisk, std::set<std::string>(known.begin(), known.end()));
    }

    void expectRefused(const httplib::Result& r, int status, const std::string& error) {
        ASSERT_TRUE(r) << "no answer for " << error;
        EXPECT_EQ(r->status, status) << r->body;
        auto j = parseJson(r);
        EXPECT_EQ(j.value("error", ""), error) << r->body;
        EXPECT_FALSE(j.value("message", "").empty()) << "a readable reason";
        expectUnchanged();
    }

    InProcessService s;
    httplib::Client c = s.client();
    std::string token;
};

TEST_F(WendrelBadInput, UploadsThatAreNotAudioAreRefused) {
    expectRefused(c.Post("/api/v1/sources", bearer(token), uploadForm("", "empty.wav")), 400,
                  "empty_file");
    TempDir d;
    writeWav(d / "zero.wav", {});
    expectRefused(
        c.Post("/api/v1/sources", bearer(token), uploadForm(readFile(d / "zero.wav"), "zero.wav")),
        422, "unsupported_audio");
    std::mt19937 rng(7);
    std::string noise(20000, '\0');
    for (auto& ch : noise) ch = static_cast<char>(rng());
    expectRefused(c.Post("/api/v1/sources", bearer(token),
                         uploadForm(noise, "Memo.m4a", "voice_memo", "audio/mp4")),
                  422, "unsupported_audio");
    expectRefused(c.Post("/api/v1/sources", bearer(token), uploadForm(tone(10), "long.wav")), 413,
                  "too_large");
}

TEST_F(WendrelBadInput, MalformedFormsAreRefused) {
    expectRefused(c.Post("/api/v1/sources", bearer(token), R"({"file":"x"})", "application/json"),
                  415, "unsupported_media_type");
    httplib::MultipartFormDataItems noFile{{"content_source", "voice_memo", "", ""}};
    expectRefused(c.Post("/api/v1/sources", bearer(token), noFile), 400, "missing_file");
    httplib::MultipartFormDataItems noSource{{"file", tone(1), "a.wav", "audio/wav"}};
    expectRefused(c.Post("/api/v1/sources", bearer(token), noSource), 400, "missing_field");
    auto badMeta = uploadForm(tone(1), "b.wav");
    badMeta[2].content = "[1,2]";
    expectRefused(c.Post("/api/v1/sources", bearer(token), badMeta), 400, "invalid_metadata");
}

TEST_F(WendrelBadInput, TruncatedMultipartBodiesLeaveNothingBehind) {
    std::string boundary = "----SayloftBoundaryTEST";
    std::string body = "--" + boundary +
                       "\r\nContent-Disposition: form-data; name=\"content_source\"\r\n\r\n"
                       "voice_memo\r\n--" +
                       boundary +
                       "\r\nContent-Disposition: form-data; name=\"file\"; "
                       "filename=\"cut.wav\"\r\nContent-Type: audio/wav\r\n\r\n" +
                       tone(1).substr(0, 9000);
    auto head = [&](size_t length) {
        return "POST /api/v1/sources HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(s.port()) +
               "\r\nAuthorization: Bearer " + token +
               "\r\nContent-Type: multipart/form-data; boundary=" + boundary +
               "\r\nContent-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
    };
    // The whole announced body arrives but its closing delimiter never does.
    auto answer = rawExchange(s.port(), head(body.size()) + body, false);
    EXPECT_NE(answer.find("HTTP/1.1 400"), std::string::npos) << answer;
    EXPECT_NE(answer.find("malformed_multipart"), std::string::npos) << answer;
    expectUnchanged();
    // The client goes away halfway through the announced body.
    rawExchange(s.port(), head(body.size() + 50000) + body, true);
    expectUnchanged();
}

TEST_F(WendrelBadInput, UnknownKeysCursorsAndParametersAreRefused) {
    expectRefused(c.Get("/api/v1/sources/DOC_NOPE/status", bearer(token)), 404, "not_found");
    expectRefused(c.Get("/api/v1/sources/DOC_NOPE", bearer(token)), 404, "not_found");
    expectRefused(c.Get("/api/v1/sources/tasks/task_nope", bearer(token)), 404, "not_found");
    expectRefused(c.Get("/api/v1/sources?before=cur_never_issued", bearer(token)), 400,
                  "invalid_cursor");
    expectRefused(c.Get("/api/v1/sources?limit=0", bearer(token)), 400, "invalid_limit");
    expectRefused(c.Get("/api/v1/sources?limit=ten", bearer(token)), 400, "invalid_limit");
    expectRefused(c.Get("/api/v1/sources?include_deleted=maybe", bearer(token)), 400,
                  "invalid_request");
    expectRefused(c.Get("/api/v1/sources", bearer("wlt_forged")), 401, "unauthorized");
    expectRefused(c.Post("/api/v1/auth/devices/init", "not json", "application/json"), 400,
                  "invalid_request");
}

}  // namespace
}  // namespace sayloft::test
