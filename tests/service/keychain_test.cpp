#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "core/json.hpp"
#include "platform_fakes.hpp"
#include "service/keychain.hpp"
#include "service_test_support.hpp"

extern char** environ;

namespace sayloft::test {
namespace {

using platform::SecretStatus;
using service::Keychain;

// The contract every secret store keeps, run against a real store.
void checkStoreContract(platform::SecretStore& store) {
    EXPECT_EQ(store.read("svc", "acct").status, SecretStatus::notFound);
    EXPECT_EQ(store.remove("svc", "acct").status, SecretStatus::notFound);
    ASSERT_EQ(store.write("svc", "acct", "first").status, SecretStatus::ok);
    ASSERT_EQ(store.write("svc", "acct", "second").status, SecretStatus::ok);  // replaces
    ASSERT_EQ(store.write("svc", "other", "x").status, SecretStatus::ok);
    ASSERT_EQ(store.write("svc2", "acct", "y").status, SecretStatus::ok);
    auto read = store.read("svc", "acct");
    EXPECT_EQ(read.status, SecretStatus::ok);
    EXPECT_EQ(read.value, "second");
    EXPECT_EQ(store.read("svc2", "acct").value, "y");
    EXPECT_EQ(store.remove("svc", "acct").status, SecretStatus::ok);
    EXPECT_EQ(store.read("svc", "acct").status, SecretStatus::notFound);
    EXPECT_EQ(store.read("svc", "other").value, "x");
}

TEST(FileSecretStore, KeepsOneSecretPerServiceAndAccount) {
    TempDir dir;
    platform::FileSecretStore store(dir / "sub" / "secrets.json");
    checkStoreContract(store);
}

TEST(FileSecretStore, ADamagedFileIsSetAsideAndNeverBlocks) {
    TempDir dir;
    int n = 0;
    platform::FileSecretStore store(dir / "secrets.json",
                                    [&] { return "T" + std::to_string(++n); });
    LogCollector logs;
    // What a crash right after pairing can leave, and plain garbage.
    for (const std::string& damaged :
         {std::string(), std::string("{\"se.Marrowby"), std::string("[1]")}) {
        writeFile(dir / "secrets.json", damaged);
        EXPECT_EQ(store.read("svc", "acct").status, SecretStatus::notFound);
        const auto aside = dir / ("secrets.json.damaged-T" + std::to_string(n));
        ASSERT_TRUE(std::filesystem::exists(aside));
        EXPECT_EQ(readFile(aside), damaged);  // kept for whoever wants to look
        EXPECT_FALSE(std::filesystem::exists(dir / "secrets.json"));
    }
    EXPECT_EQ(logs.count("set it aside as secrets.json.damaged-T"), 3u);

    writeFile(dir / "secrets.json", "garbage");
    EXPECT_EQ(store.write("svc", "acct", "v").status, SecretStatus::ok);
    EXPECT_EQ(store.read("svc", "acct").value, "v");
    writeFile(dir / "secrets.json", "");
    EXPECT_EQ(store.remove("svc", "acct").status, SecretStatus::notFound);

    // The same stamp twice never overwrites an earlier copy.
    platform::FileSecretStore sameSecond(dir / "s2.json", [] { return std::string("X"); });
    writeFile(dir / "s2.json", "one");
    sameSecond.read("svc", "acct");
    writeFile(dir / "s2.json", "two");
    sameSecond.read("svc", "acct");
    EXPECT_EQ(readFile(dir / "s2.json.damaged-X"), "one");
    EXPECT_EQ(readFile(dir / "s2.json.damaged-X-2"), "two");
}

// Killed at any moment, a writer leaves the previous secrets or the new ones, never a damaged
// file, and its stray temporary copy is cleared by the next writer.
TEST(FileSecretStore, WritersKilledAtRandomNeverLeaveADamagedFile) {
    if (const char* target = std::getenv("SAYLOFT_TEST_SECRET_WRITER"); target && *target) {
        platform::FileSecretStore store(target);
        store.write("svc", "acct", "token-first");
        writeFile(std::string(target) + ".started", "");
        for (int i = 0;; ++i) store.write("svc", "acct", "token-" + std::to_string(i));
    }
    TempDir dir;
    const auto file = dir / "secrets.json";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::mt19937 random(12345);
    std::string last;
    int strays = 0;  // temporary copies left by a kill, for the next writer to clear
    for (int round = 0; round < 40; ++round) {
        std::filesystem::remove(file.string() + ".started");
        pid_t writer = spawnBackground(
            {self, "--gtest_filter=FileSecretStore.WritersKilledAtRandomNeverLeaveADamagedFile"},
            dir / "writer.log", {{"SAYLOFT_TEST_SECRET_WRITER", file.string()}});
        // Waiting for a process to start and choosing when to kill it: no product delay here.
        for (int i = 0; i < 1000 && !std::filesystem::exists(file.string() + ".started"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        ::kill(writer, SIGKILL);
        ASSERT_EQ(waitExit(writer), 128 + SIGKILL);
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            strays += entry.path().filename().string().ends_with(".tmp");
        auto j = core::Json::parse(readFile(file), nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << "round " << round << ": " << readFile(file);
        last = j["svc"]["acct"].get<std::string>();
        EXPECT_TRUE(last.starts_with("token-")) << last;
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    EXPECT_FALSE(last.empty());
    RecordProperty("killed_mid_write", strays);
    platform::FileSecretStore store(file);
    ASSERT_EQ(store.write("svc", "acct", "final").status, SecretStatus::ok);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_FALSE(entry.path().filename().string().ends_with(".tmp")) << entry.path();
    EXPECT_EQ(store.read("svc", "acct").value, "final");
}

TEST(DesktopSecretStore, ReadsBothAndMovesFileSecretsIntoTheKeyring) {
    TempDir dir;
    auto keyring = std::make_shared<platform::MemorySecretStore>();
    auto file = std::make_shared<platform::FileSecretStore>(dir / "secrets.json");
    platform::DesktopSecretStore store(keyring, file);
    // A second process over the same keyring and file.
    platform::DesktopSecretStore other(keyring, file);
    LogCollector logs;

    keyring->setUnavailable(true);
    ASSERT_EQ(store.write("svc", "acct", "from-file").status, SecretStatus::ok);
    EXPECT_EQ(file->read("svc", "acct").value, "from-file");
    EXPECT_EQ(other.read("svc", "acct").value, "from-file");

    keyring->setUnavailable(false);  // a keyring appears
    EXPECT_EQ(store.read("svc", "acct").value, "from-file");
    EXPECT_EQ(keyring->read("svc", "acct").value, "from-file");  // moved
    EXPECT_EQ(file->read("svc", "acct").status, SecretStatus::notFound);
    EXPECT_EQ(logs.count("moved acct from"), 1u);

    ASSERT_EQ(other.write("svc", "acct", "from-keyring").status, SecretStatus::ok);
    EXPECT_EQ(store.read("svc", "acct").value, "from-keyring");
    EXPECT_FALSE(std::filesystem::exists(dir / "secrets.json") &&
                 file->read("svc", "acct").status == SecretStatus::ok);

    // The keyring goes away again: new secrets go to the file and are found there.
    keyring->setUnavailable(true);
    ASSERT_EQ(other.write("svc", "acct", "offline").status, SecretStatus::ok);
    EXPECT_EQ(store.read("svc", "acct").value, "offline");
    keyring->setUnavailable(false);
    EXPECT_EQ(store.read("svc", "acct").value, "offline");  // newer than the keyring's copy
    EXPECT_EQ(keyring->read("svc", "acct").value, "offline");

    // A keyring that answers with an error still leaves the secret somewhere readable.
    keyring->setFailing(true);
    ASSERT_EQ(store.write("svc", "acct", "fallback").status, SecretStatus::ok);
    EXPECT_EQ(store.read("svc", "acct").value, "fallback");
    keyring->setFailing(false);

    EXPECT_EQ(store.remove("svc", "acct").status, SecretStatus::ok);
    EXPECT_EQ(store.read("svc", "acct").status, SecretStatus::notFound);
    EXPECT_EQ(keyring->read("svc", "acct").status, SecretStatus::notFound);
    EXPECT_EQ(store.remove("svc", "acct").status, SecretStatus::notFound);

    // Which store takes new secrets is logged when it changes, and never on stderr.
    EXPECT_GE(logs.count("no memory answers; keeping secrets in"), 1u);
    EXPECT_GE(logs.count("keeping secrets in the memory"), 1u);
}

TEST(FileSecretStore, IsNeverReadableByOthersEvenForAnInstant) {
    TempDir dir;
    const mode_t previousMask = ::umask(0);  // the widest a process could ask for
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_MOVED_TO), 0);
    std::atomic<bool> done{false};
    std::atomic<int> seen{0}, exposed{0};
    std::thread watcher([&] {
        alignas(inotify_event) char buffer[4096];
        pollfd p{watch, POLLIN, 0};
        while (!done || ::poll(&p, 1, 0) > 0) {
            if (::poll(&p, 1, 10) <= 0) continue;
            ssize_t n = ::read(watch, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                auto* event = reinterpret_cast<inotify_event*>(buffer + at);
                struct stat info {};
                if (event->len && ::stat((dir / event->name).c_str(), &info) == 0) {
                    ++seen;
                    if (info.st_mode & 077) ++exposed;
                }
                at += sizeof(inotify_event) + event->len;
            }
        }
    });
    platform::FileSecretStore store(dir / "secrets.json");
    for (int i = 0; i < 200; ++i) store.write("svc", "acct", "token-" + std::to_string(i));
    done = true;
    watcher.join();
    ::close(watch);
    ::umask(previousMask);

    struct stat info {};
    ASSERT_EQ(::stat((dir / "secrets.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_GT(seen.load(), 0);
    EXPECT_EQ(exposed.load(), 0);
}

TEST(Keychain, DeviceTokenAndAuthorizationHeader) {
    FileKeychain keys;
    auto& k = keys.keychain;
    EXPECT_FALSE(k.hasDeviceToken());
    EXPECT_EQ(k.authorizationHeader(), std::nullopt);
    EXPECT_TRUE(k.write(Keychain::kDeviceTokenAccount, std::nullopt));  // deleting nothing is fine
    ASSERT_TRUE(k.write(Keychain::kDeviceTokenAccount, ""));
    EXPECT_FALSE(k.hasDeviceToken());
    EXPECT_EQ(k.authorizationHeader(), std::nullopt);
    ASSERT_TRUE(k.write(Keychain::kDeviceTokenAccount, "abc"));
    ASSERT_TRUE(k.write(Keychain::kDeviceTokenAccount, "def"));  // replaces, no duplicate error
    EXPECT_EQ(k.authorizationHeader(), "Bearer def");
    EXPECT_EQ(keys.store->read("se.Marrowby.sayloft.mac", "wl_device_token").value, "def");

    EXPECT_FALSE(k.write(Keychain::kDeviceTokenAccount, std::string("\xff\xfe", 2)));
    EXPECT_EQ(k.authorizationHeader(), "Bearer def");  // a failed write keeps the old token

    auto failing = std::make_shared<platform::MemorySecretStore>();
    Keychain broken(failing);
    failing->write(Keychain::kService, Keychain::kDeviceTokenAccount, "\xff\xfe");
    EXPECT_EQ(broken.deviceToken(), std::nullopt);  // not text
    failing->setFailing(true);
    EXPECT_FALSE(broken.write(Keychain::kDeviceTokenAccount, "x"));
    EXPECT_FALSE(broken.write(Keychain::kDeviceTokenAccount, std::nullopt));
}

TEST(SecretService, NoBusMeansNoSecretService) {
    TempDir dir;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir / "none").string()).c_str(), 1);
    EXPECT_FALSE(platform::SecretServiceStore::available());
}

// gnome-keyring on the private bus, unlocked with a fixed password (an empty one prompts).
struct Keyring {
    pid_t pid = -1;
    void start(const std::filesystem::path& log) {
        pid = spawnBackground({"/bin/bash", "-c",
                               "exec gnome-keyring-daemon --foreground --unlock "
                               "--components=secrets < <(printf pass)"},
                              log);
        // Starting an outside daemon, not a product delay: bounded real-time wait.
        for (int i = 0; i < 500 && !platform::SecretServiceStore::available(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    void stop() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            waitExit(pid);
        }
        pid = -1;
        for (int i = 0; i < 500 && platform::SecretServiceStore::available(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ~Keyring() { stop(); }
};

// The token follows the Secret Service as it starts, stops and starts again, through one store
// object kept for the life of the process, on a private session bus with a real gnome-keyring.
TEST(SecretService, OneStoreFollowsTheKeyringAsItComesAndGoes) {
    if (const char* inside = std::getenv("SAYLOFT_TEST_SECRET_BUS"); inside && *inside) {
        ASSERT_FALSE(platform::SecretServiceStore::available());
        Keychain keychain(platform::defaultSecretStore());  // the process's one store
        const auto file = platform::FileSecretStore::defaultPath();
        platform::FileSecretStore fileStore(file);

        // Paired while no keyring runs: the token lands in the 0600 file.
        ASSERT_TRUE(keychain.write(Keychain::kDeviceTokenAccount, "token-A"));
        EXPECT_EQ(fileStore.read(Keychain::kService, Keychain::kDeviceTokenAccount).value,
                  "token-A");

        Keyring keyring;
        keyring.start(std::filesystem::path(inside).parent_path() / "keyring.log");
        if (!platform::SecretServiceStore::available()) {
            writeFile(inside, "gnome-keyring did not answer on the private bus");
            GTEST_SKIP();
        }
        platform::SecretServiceStore service;
        // Found after the keyring starts, and moved into it.
        EXPECT_EQ(keychain.deviceToken(), "token-A");
        EXPECT_EQ(service.read(Keychain::kService, Keychain::kDeviceTokenAccount).value, "token-A");
        EXPECT_EQ(fileStore.read(Keychain::kService, Keychain::kDeviceTokenAccount).status,
                  SecretStatus::notFound);
        checkStoreContract(service);

        // Another process, started after the keyring, pairs again: this one sees it at once.
        platform::DesktopSecretStore otherProcess(
            std::make_shared<platform::SecretServiceStore>(),
            std::make_shared<platform::FileSecretStore>(file));
        ASSERT_EQ(
            otherProcess.write(Keychain::kService, Keychain::kDeviceTokenAccount, "token-B").status,
            SecretStatus::ok);
        EXPECT_EQ(keychain.authorizationHeader(), "Bearer token-B");

        // The keyring stops: a new token goes to the file; it restarts: the token moves again.
        keyring.stop();
        ASSERT_TRUE(keychain.write(Keychain::kDeviceTokenAccount, "token-C"));
        EXPECT_EQ(keychain.deviceToken(), "token-C");
        keyring.start(std::filesystem::path(inside).parent_path() / "keyring2.log");
        ASSERT_TRUE(platform::SecretServiceStore::available());
        EXPECT_EQ(keychain.deviceToken(), "token-C");
        EXPECT_EQ(service.read(Keychain::kService, Keychain::kDeviceTokenAccount).value, "token-C");
        EXPECT_EQ(fileStore.read(Keychain::kService, Keychain::kDeviceTokenAccount).status,
                  SecretStatus::notFound);
        EXPECT_TRUE(keychain.write(Keychain::kDeviceTokenAccount, std::nullopt));
        EXPECT_FALSE(keychain.hasDeviceToken());
        return;
    }
    if (::access("/usr/bin/dbus-run-session", X_OK) != 0 ||
        ::access("/usr/bin/gnome-keyring-daemon", X_OK) != 0)
        GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is not installed";

    TempDir data;
    const auto skipNote = data / "skipped";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    auto env = homeEnv(data / "home",
                       {{"SAYLOFT_TEST_SECRET_BUS", skipNote.string()}, {"PATH", "/usr/bin:/bin"}});
    // A session bus that activates nothing: the keyring runs only when the test starts it.
    writeFile(data / "bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
              "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>session</type><listen>unix:tmpdir=" +
                  data.path().string() +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                  "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                  "<allow own=\"*\"/></policy></busconfig>\n");
    auto r =
        run({"/usr/bin/dbus-run-session", "--config-file=" + (data / "bus.conf").string(), "--",
             self, "--gtest_filter=SecretService.OneStoreFollowsTheKeyringAsItComesAndGoes"},
            env);
    EXPECT_EQ(r.exitCode, 0) << "the checks on the private bus failed:\n" << r.out << r.err;
    if (std::filesystem::exists(skipNote)) GTEST_SKIP() << readFile(skipNote);
}

}  // namespace
}  // namespace sayloft::test
