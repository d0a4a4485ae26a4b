#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "app/control_socket.hpp"
#include "app/engine.hpp"
#include "app/engine_host.hpp"
#include "app/instance_lock.hpp"
#include "core/json.hpp"
#include "platform/notifications.hpp"
#include "platform/opener.hpp"
#include "platform/secret_store.hpp"
#include "platform_fakes.hpp"
#include "recorder/engine_graph.hpp"
#include "recorder/hal/simulated_audio_hardware.hpp"
#include "test_support.hpp"

using namespace sayloft;
using core::Json;
namespace fs = std::filesystem;

namespace {

struct Lines {
    std::mutex mutex;
    std::vector<std::string> out, err;
    app::RequestOutput output() {
        return {[this](const std::string& l) {
                    std::lock_guard g(mutex);
                    out.push_back(l);
                },
                [this](const std::string& l) {
                    std::lock_guard g(mutex);
                    err.push_back(l);
                }};
    }
};

}  // namespace

TEST(InstanceLock, OneHolderAtATimeNamedByPidAndRole) {
    test::TempDir dir;
    EXPECT_FALSE(app::InstanceLock::holder(dir.path()));
    auto first = app::InstanceLock::tryAcquire(dir.path(), "daemon");
    ASSERT_TRUE(first);
    EXPECT_FALSE(app::InstanceLock::tryAcquire(dir.path(), "command"));
    auto holder = app::InstanceLock::holder(dir.path());
    ASSERT_TRUE(holder);
    EXPECT_EQ(holder->pid, ::getpid());
    EXPECT_EQ(holder->role, "daemon");
    first.reset();
    EXPECT_FALSE(app::InstanceLock::holder(dir.path()));
    EXPECT_TRUE(app::InstanceLock::tryAcquire(dir.path(), "command"));
}

TEST(ControlSocket, RefusesAPeerOfAnotherUserBeforeReadingAnything) {
    std::atomic<int> handled{0};
    app::ControlServer server(
        "/nonexistent/unused.sock",
        [&](app::ControlConnection&, const Json&, std::stop_token) { ++handled; },
        [](const ucred& peer) { return peer.uid == ::getuid() + 1; });  // as if we were another
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    app::ControlConnection client(fds[1]);
    ASSERT_TRUE(client.send({{"id", 1}, {"method", "status"}}));
    server.adopt(fds[0]);
    auto answer = client.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["error"], "refused: not the same user");
    EXPECT_FALSE(client.receive());  // and the connection is closed
    EXPECT_EQ(handled, 0);
    EXPECT_TRUE(app::ControlServer::sameUser(ucred{0, ::getuid(), ::getgid()}));
    EXPECT_FALSE(app::ControlServer::sameUser(ucred{0, ::getuid() + 1, ::getgid()}));
}

TEST(ControlSocket, ServesRequestsSideBySideAndStopsThemWhenThePeerLeaves) {
    test::TempDir dir;
    std::atomic<bool> slowStopped{false};
    app::ControlServer server(dir / "control.sock", [&](app::ControlConnection& c,
                                                        const Json& request, std::stop_token stop) {
        if (request.value("method", "") == "slow") {
            while (!stop.stop_requested())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            slowStopped = true;
            return;
        }
        c.send({{"id", request["id"]}, {"echo", request["method"]}});
    });
    server.start();
    EXPECT_EQ(fs::status(dir / "control.sock").permissions() & fs::perms::others_all,
              fs::perms::none);
    {
        auto client = app::connectToEngine(dir / "control.sock");
        ASSERT_TRUE(client);
        client->send({{"id", 1}, {"method", "slow"}});
        client->send({{"id", 2}, {"method", "quick"}});
        auto answer = client->receive();  // not held up by the slow one
        ASSERT_TRUE(answer);
        EXPECT_EQ((*answer)["id"], 2);
        EXPECT_EQ((*answer)["echo"], "quick");
        client->send(Json::parse("1"));  // valid JSON, not an object: refused, no harm done
        auto refused = client->receive();
        ASSERT_TRUE(refused);
        EXPECT_EQ((*refused)["error"], "not a JSON object");
    }
    EXPECT_TRUE(test::eventually([&] { return slowStopped.load(); }));
    server.stop();
    EXPECT_FALSE(fs::exists(dir / "control.sock"));
}

namespace {

// An engine on a private home, with fakes only for what a test machine cannot have.
struct EngineHome {
    test::TempHome home;
    fs::path vault = home.path() / "vault";
    fs::path memos = home.path() / "memos";
    std::shared_ptr<platform::FakeNotifications> notifications =
        std::make_shared<platform::FakeNotifications>();
    core::ManualClock clock{core::SystemClock::now()};

    EngineHome() {
        fs::create_directories(memos);
        Json settings = test::settingsFor(vault);
        settings["watchedFoldersRaw"] = {test::watchedFolder("drops", memos, "Drops")};
        test::writeFile(home.path() / ".config/sayloft/settings.json", settings.dump(2));
        clock.setAutoAdvance(true);
    }

    std::unique_ptr<app::Engine> engine(const std::string& role) {
        app::EngineOptions o;
        o.clock = &clock;
        o.notifications = notifications;
        o.secrets = std::make_shared<platform::MemorySecretStore>();
        o.opener = std::make_shared<platform::FakeOpener>();
        o.role = role;
        return std::make_unique<app::Engine>(o);
    }
};

}  // namespace

TEST(Engine, CommandsReachTheRunningEngineAndChangeItsState) {
    EngineHome h;
    test::TempDir run;
    app::EngineAddress address{run.path()};
    std::stop_source stopDaemon;
    Lines daemonLines;
    std::thread daemon([&] {
        app::runDaemon(
            stopDaemon.get_token(), [&](const std::string& role) { return h.engine(role); },
            daemonLines.output(), address);
    });
    ASSERT_TRUE(test::eventually([&] { return fs::exists(run / "control.sock"); }));

    // A second daemon is refused, naming the first.
    Lines second;
    EXPECT_EQ(
        app::runDaemon(
            {}, [&](const std::string& role) { return h.engine(role); }, second.output(), address),
        1);
    ASSERT_EQ(second.err.size(), 1u);
    EXPECT_EQ(second.err[0],
              "sayloft is already running (pid " + std::to_string(::getpid()) + ").");

    // Subscribers hear of applied settings.
    auto subscriber = app::connectToEngine(run / "control.sock");
    ASSERT_TRUE(subscriber);
    subscriber->send({{"id", 7}, {"method", "subscribe"}});
    auto subscribed = subscriber->receive();
    ASSERT_TRUE(subscribed);
    EXPECT_EQ((*subscribed)["subscribed"], true);

    std::atomic<int> hosted{0};
    auto neverHost = [&](const std::string&) -> std::unique_ptr<app::Engine> {
        ++hosted;
        return nullptr;
    };
    Lines set;
    EXPECT_EQ(app::runThroughEngine({{"method", "folders.disable"}, {"params", {{"id", "drops"}}}},
                                    set.output(), {}, neverHost, address),
              0)
        << (set.err.empty() ? "" : set.err[0]);
    // Other events (the vault scanner's) may come between.
    auto event = subscriber->receive();
    while (event && (*event)["event"]["event"] != "settings") event = subscriber->receive();
    ASSERT_TRUE(event);

    Lines status;
    EXPECT_EQ(
        app::runThroughEngine({{"method", "status"}}, status.output(), {}, neverHost, address), 0);
    EXPECT_EQ(status.out.front(), "[Drops] Capture is off");
    EXPECT_EQ(status.out[3], "Daemon: running (pid " + std::to_string(::getpid()) + ")");
    Lines bad;
    EXPECT_EQ(app::runThroughEngine({{"method", "settings.set"},
                                     {"params", {{"key", "maxFiles"}, {"value", "many"}}}},
                                    bad.output(), {}, neverHost, address),
              2);
    EXPECT_EQ(bad.err, std::vector<std::string>{"Not saved: maxFiles takes a number"});
    EXPECT_EQ(hosted, 0);

    // A front-end reads the settings, the folders with their access and the pairing.
    auto reader = app::connectToEngine(run / "control.sock");
    ASSERT_TRUE(reader);
    reader->send({{"id", 9}, {"method", "settings.get"}});
    auto got = reader->receive();
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["done"], true);
    EXPECT_FALSE((*got)["settings"]["watchedFoldersRaw"][0]["enabled"].get<bool>());
    ASSERT_EQ((*got)["folders"].size(), 1u);
    EXPECT_EQ((*got)["folders"][0]["access"], "Capture is off");
    EXPECT_EQ((*got)["paired"], false);
    EXPECT_EQ((*got)["settingsFileExists"], true);

    stopDaemon.request_stop();
    daemon.join();
    // The daemon closed the subscription after the events still on their way.
    while (auto late = subscriber->receive()) EXPECT_TRUE(late->contains("event"));
    auto saved = Json::parse(test::readFile(h.home.path() / ".config/sayloft/settings.json"));
    EXPECT_FALSE(saved["watchedFoldersRaw"][0]["enabled"].get<bool>());
}

TEST(Engine, WithoutAnEngineACommandHostsOneAndWaitsForAnotherCommandFirst) {
    EngineHome h;
    test::TempDir run;
    app::EngineAddress address{run.path()};
    auto busy = app::InstanceLock::tryAcquire(run.path(), "command");
    Lines lines;
    std::atomic<bool> finished{false};
    int code = -1;
    std::thread command([&] {
        code = app::runThroughEngine(
            {{"method", "status"}}, lines.output(), {},
            [&](const std::string& role) { return h.engine(role); }, address);
        finished = true;
    });
    ASSERT_TRUE(test::eventually([&] {
        std::lock_guard g(lines.mutex);
        return !lines.err.empty();
    }));
    EXPECT_FALSE(finished);
    EXPECT_EQ(lines.err[0], "Another sayloft (pid " + std::to_string(::getpid()) +
                                ") is working; waiting for it to finish…");
    busy.reset();
    command.join();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(lines.out.back(), "Daemon: not running (start it with `sayloft run`)");
    EXPECT_FALSE(app::InstanceLock::holder(run.path()));  // released when done
}

TEST(Engine, RecordingRequestsAndEventsOnASimulatedSoundServer) {
    EngineHome h;
    auto hw = std::make_shared<recorder::hal::SimulatedAudioHardware>();
    recorder::hal::SinkInfo speakers;
    speakers.name = "speakers";
    speakers.description = "Speakers";
    hw->addSink(speakers);
    recorder::hal::SourceInfo mic;
    mic.name = "mic";
    mic.description = "Desk microphone";
    hw->addSource(mic);
    auto player = hw->addSinkInput("speakers", "player", 4242, "Player");
    hw->setCorked(player, false);

    app::EngineOptions o;
    o.clock = &h.clock;
    o.notifications = h.notifications;
    o.secrets = std::make_shared<platform::MemorySecretStore>();
    o.opener = std::make_shared<platform::FakeOpener>();
    o.role = "daemon";
    o.makeRecordingGraph = recorder::engineGraphFactory([hw] { return hw; }, h.clock);
    o.audioCatalog = recorder::hardwareCatalog(hw);
    o.removeAudioLeftovers = [] {};
    app::Engine engine(o);

    std::mutex m;
    std::vector<Json> events;
    engine.subscribe([&](const Json& e) {
        std::lock_guard g(m);
        if (e["event"] == "recording") events.push_back(e);
    });
    Lines lines;
    auto ask = [&](const std::string& method, Json params = Json::object()) {
        return engine.handle({{"method", method}, {"params", params}}, lines.output());
    };

    auto devices = ask("devices");
    EXPECT_EQ(devices["apps"][0]["id"], "player");
    EXPECT_EQ(devices["microphones"][0]["id"], "mic");
    EXPECT_EQ(devices["outputKind"], "unknown");
    EXPECT_TRUE(hw->openStreams().empty());

    auto started =
        ask("record.start", {{"source", "all"}, {"microphone", "mic"}, {"noMic", false}});
    ASSERT_EQ(started["ok"], true) << lines.err.back();
    const std::string id = started["recordingId"];
    EXPECT_FALSE(hw->openStreams().empty());
    auto again = ask("record.start");
    EXPECT_EQ(again["ok"], false);
    EXPECT_EQ(again["error"], "A recording is already running.");

    auto status = ask("record.status");
    EXPECT_EQ(status["state"], "recording");
    EXPECT_EQ(status["id"], id);
    EXPECT_EQ(status["microphone"], "Desk microphone");
    for (auto key :
         {"elapsed", "source", "micLevel", "systemLevel", "warnings", "echo", "outputKind"})
        EXPECT_TRUE(status.contains(key)) << key;
    EXPECT_EQ(ask("record.pause")["ok"], true);
    EXPECT_EQ(ask("record.status")["state"], "paused");
    EXPECT_EQ(ask("record.resume")["ok"], true);

    // The running recording is not offered for sending.
    Lines listed;
    EXPECT_EQ(engine.handle({{"method", "recordings"}}, listed.output())["recordings"],
              Json::array());
    EXPECT_EQ(listed.out, std::vector<std::string>{"No unfinished recordings."});

    EXPECT_EQ(ask("record.discard")["ok"], true);
    EXPECT_EQ(ask("record.status")["state"], "idle");
    EXPECT_TRUE(hw->openStreams().empty());
    EXPECT_EQ(ask("record.discard")["error"], "No recording is running.");

    std::lock_guard g(m);
    std::vector<std::string> states;
    for (auto& e : events)
        if (states.empty() || states.back() != e["state"]) states.push_back(e["state"]);
    EXPECT_EQ(states,
              (std::vector<std::string>{"starting", "recording", "paused", "recording", "idle"}));
    engine.shutdown();
}
