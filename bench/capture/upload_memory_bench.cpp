// upload_memory_bench: the peak memory of this process while it uploads recordings of growing
// size to a loopback server that reads and discards them. With the body streamed from the file,
// the peak stays where it was before the first upload, whatever the size; a body built in memory
// would add the file's size (twice, with the multipart copy) to it.
#include <fcntl.h>
#include <httplib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/secret_store.hpp"
#include "service/keychain.hpp"
#include "service/wendrel_client.hpp"

using namespace sayloft;
namespace fs = std::filesystem;

namespace {
long peakKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
}  // namespace

int main() {
    char tmpl[] = "/tmp/upload-bench-XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl);

    httplib::Server server;
    server.Post("/api/v1/sources", [](const httplib::Request&, httplib::Response& res,
                                      const httplib::ContentReader& reader) {
        size_t bytes = 0;
        reader([](const httplib::MultipartFormData&) { return true; },
               [&](const char*, size_t n) {
                   bytes += n;
                   return true;
               });
        res.set_content(R"({"status":"completed","cache_key":"DOC_bench"})", "application/json");
    });
    int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });

    service::Keychain keychain(std::make_shared<platform::FileSecretStore>(dir / "secrets.json"));
    keychain.write(service::Keychain::kDeviceTokenAccount, "wdt_0123456789abcdef0123456789");
    service::WendrelClient client("http://127.0.0.1:" + std::to_string(port) + "/api/v1", keychain);

    // A small upload first: what the client costs anyway is the baseline.
    std::printf("%-10s %14s %16s\n", "size MiB", "peak RSS MiB", "growth over 1 MiB");
    long baseline = 0;
    for (long mib : {1L, 64L, 256L}) {
        auto file = dir / ("rec-" + std::to_string(mib) + ".m4a");
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::ftruncate(fd, mib << 20) != 0) return 1;
        ::close(fd);
        client.uploadAudio(file, "voice_memo");
        long peak = peakKiB();
        if (mib == 1) baseline = peak;
        std::printf("%-10ld %14.1f %16.1f\n", mib, peak / 1024.0, (peak - baseline) / 1024.0);
        fs::remove(file);
    }
    server.stop();
    serving.join();
    fs::remove_all(dir);
    return 0;
}
