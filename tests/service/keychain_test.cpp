#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

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

TEST(FileSecretStore, ReportsADamagedFileApartFromAMissingItem) {
    TempDir dir;
    writeFile(dir / "secrets.json", "not json");
    platform::FileSecretStore store(dir / "secrets.json");
    auto read = store.read("svc", "acct");
    EXPECT_EQ(read.status, SecretStatus::failed);
    EXPECT_NE(read.error.find("secrets.json"), std::string::npos);
    EXPECT_EQ(store.write("svc", "acct", "v").status, SecretStatus::failed);
    EXPECT_EQ(readFile(dir / "secrets.json"), "not json");  // nothing lost
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

// Runs the real checks inside a private session bus with an unlocked gnome-keyring.
TEST(SecretService, StoresItemsOnAPrivateBus) {
    if (const char* inside = std::getenv("SAYLOFT_TEST_SECRET_BUS"); inside && *inside) {
        if (!platform::SecretServiceStore::available()) {
            writeFile(inside, "gnome-keyring did not answer on the private bus");
            GTEST_SKIP();
        }
        platform::SecretServiceStore store;
        checkStoreContract(store);
        Keychain keychain(platform::defaultSecretStore());
        ASSERT_TRUE(keychain.write(Keychain::kDeviceTokenAccount, "bus-token"));
        EXPECT_EQ(keychain.authorizationHeader(), "Bearer bus-token");
        EXPECT_EQ(platform::defaultSecretStore()->describe(), "Secret Service");
        EXPECT_EQ(store.read(Keychain::kService, Keychain::kDeviceTokenAccount).value, "bus-token");
        return;
    }
    if (::access("/usr/bin/dbus-run-session", X_OK) != 0 ||
        ::access("/usr/bin/gnome-keyring-daemon", X_OK) != 0)
        GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is not installed";

    TempHome home;
    TempDir data;
    std::filesystem::create_directories(data / "run");
    std::filesystem::permissions(data / "run", std::filesystem::perms::owner_all);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::vector<std::string> args{
        "dbus-run-session",
        "--",
        "sh",
        "-c",
        "echo -n pass | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1; "
        "exec \"$0\" \"$1\"",
        self,
        "--gtest_filter=SecretService.StoresItemsOnAPrivateBus"};
    const auto skipNote = data / "skipped";
    std::vector<std::string> env{"SAYLOFT_TEST_SECRET_BUS=" + skipNote.string(),
                                 "XDG_DATA_HOME=" + data.path().string(),
                                 "XDG_RUNTIME_DIR=" + (data / "run").string(),
                                 "HOME=" + home.path().string(), "PATH=/usr/bin:/bin"};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid;
    ASSERT_EQ(posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the checks on the private bus failed (output above)";
    if (std::filesystem::exists(skipNote)) GTEST_SKIP() << readFile(skipNote);
}

}  // namespace
}  // namespace sayloft::test
