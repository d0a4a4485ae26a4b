// The tray against a scripted engine over a real control socket, on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "browser/file_actions.hpp"
#include "fake_notification_server.hpp"
#include "recorder_window.hpp"
#include "scripted_engine.hpp"
#include "search_window.hpp"
#include "settings_window.hpp"
#include "test_support.hpp"
#include "tray_app.hpp"
#include "welcome_window.hpp"

using namespace sayloft;
using namespace sayloft::tray;
using sayloft::test::ScriptedEngine;
using sayloft::test::settle;

namespace {

// One QApplication for the whole run, ended before the program's statics are: Qt does not
// survive being torn down after main() returns.
class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

  private:
    int argc_ = 1;
    char name_[11] = "tray_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};
[[maybe_unused]] auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

void qtApp() {
    ASSERT_NE(QApplication::instance(), nullptr);
}

class RecordingActions : public browser::FileActions {
  public:
    bool open(const std::string& path) override { return log("open " + path); }
    bool reveal(const std::string& path) override { return log("reveal " + path); }
    bool mail(const std::vector<std::string>& paths, const std::string& subject) override {
        std::string all;
        for (auto& p : paths) all += " " + p;
        return log("mail" + all + (subject.empty() ? "" : " [" + subject + "]"));
    }
    std::string convertToPdf(const std::string& path) override {
        log("pdf " + path);
        return path + ".pdf";
    }
    void trash(const std::string& path) override { log("trash " + path); }
    std::vector<std::string> calls;

  private:
    bool log(std::string line) {
        calls.push_back(std::move(line));
        return true;
    }
};

core::Json fileEntry(const std::string& name, const std::string& path, const std::string& source,
                     double date) {
    return {{"id", path},           {"filename", name},
            {"relativePath", name}, {"parentFolder", "notes"},
            {"creationDate", date}, {"modificationDate", date},
            {"size", 10},           {"fullPath", "file://" + path},
            {"source", source}};
}

QAction* findAction(QMenu* menu, const QString& text) {
    for (auto* a : menu->actions()) {
        if (a->text() == text) return a;
        if (a->menu())
            if (auto* inner = findAction(a->menu(), text)) return inner;
    }
    return nullptr;
}

class TrayTest : public ::testing::Test {
  protected:
    TrayTest()
        : engine(dir / "control.sock"),
          client(QString::fromStdString((dir / "control.sock").string())) {
        qtApp();
        engine.answer("record.status", {{"state", "idle"}, {"elapsed", 0}});
        engine.answer("recordings", {}, {});
        engine.answer("settings.get", {{"settings", {{"vaultPath", "/v"}, {"vaultName", "V"}}},
                                       {"settingsFileExists", true},
                                       {"folders", core::Json::array()},
                                       {"paired", false}});
        engine.answer(
            "devices",
            {{"apps", {{{"id", "org.example.Call"}, {"name", "Call"}, {"isPlaying", true}}}},
             {"microphones", {{{"id", "mic-1"}, {"name", "Desk mic"}, {"isDefault", true}}}},
             {"outputKind", "headphones"}});
        engine.answer("menu", {{"menu",
                                {{{"kind", "submenu"},
                                  {"title", "Vault"},
                                  {"items",
                                   {{{"kind", "submenu"},
                                     {"title", "Today (2)"},
                                     {"items",
                                      {{{"kind", "action"},
                                        {"title", "a.md  —  notes"},
                                        {"action", "openFile"},
                                        {"files", {"file:///v/notes/a%20b.md"}}}}}}}}},
                                 {{"kind", "action"}, {"title", "Quit"}, {"action", "quit"}}}}});
    }
    sayloft::test::TempHome home;  // window places are kept below the state folder
    sayloft::test::TempDir dir;
    ScriptedEngine engine;
    EngineClient client;
    RecordingActions actions;
};

TEST_F(TrayTest, MenuShowsTheEnginesRowsRecorderRowsAndRecoveries) {
    engine.answer("recordings",
                  {{"recordings",
                    {{{"id", "260105-101500"}, {"seconds", 42}, {"why", "the app stopped"}},
                     {{"id", "260105-090000"}, {"why", "silent: quiet"}, {"silent", true}}}}});
    TrayApp tray(client, actions,
                 {.surface = TrayApp::Options::Surface::none, .globalKeys = false});
    tray.start();
    tray.refresh();
    ASSERT_TRUE(settle([&] { return findAction(tray.menu(), "Today (2)") != nullptr; }));
    EXPECT_EQ(tray.todayCount(), 2);
    EXPECT_NE(findAction(tray.menu(), "Record"), nullptr);
    EXPECT_NE(findAction(tray.menu(), "Unfinished recording 260105-101500"), nullptr);
    // A silent one can only be discarded: there is nothing to send.
    auto* silent = findAction(tray.menu(), "Silent recording 260105-090000");
    ASSERT_NE(silent, nullptr);
    ASSERT_NE(silent->menu(), nullptr);
    EXPECT_EQ(silent->menu()->actions().size(), 1);

    findAction(tray.menu(), "a.md  —  notes")->trigger();
    ASSERT_EQ(actions.calls, std::vector<std::string>{"open /v/notes/a b.md"});

    // Recovery: send what was recorded goes to the engine with the id.
    engine.answer("recordings.send", {}, {"Sent"});
    findAction(tray.menu(), "Send what was recorded")->trigger();
    ASSERT_TRUE(settle([&] { return engine.requests("recordings.send").size() == 1; }));
    EXPECT_EQ(engine.requests("recordings.send")[0]["params"]["id"], "260105-101500");
}

TEST_F(TrayTest, GarbageFromTheEngineLeavesTheTrayWorking) {
    engine.script("menu", [](app::ControlConnection& c, const core::Json& r) {
        c.send({{"id", r["id"]}, {"out", 42}});  // not a line of text
        ScriptedEngine::done(c, r, {{"menu", {{{"kind", "action"}, {"title", 7}}}}});
    });
    TrayApp tray(client, actions,
                 {.surface = TrayApp::Options::Surface::none, .globalKeys = false});
    int loads = 0;
    QObject::connect(&tray, &TrayApp::loaded, [&] { ++loads; });
    tray.start();
    tray.refresh();
    ASSERT_TRUE(settle([&] { return loads >= 1 && engine.subscribers() == 1; }));
    engine.publish({{"event", "recording"}, {"state", 3}, {"elapsed", "soon"}});
    engine.publish({{"event", "recording"}, {"state", "recording"}, {"elapsed", 2}});
    ASSERT_TRUE(settle([&] { return tray.recordingState() == "recording"; }));
    EXPECT_NE(findAction(tray.menu(), "Stop && send"), nullptr);
}

TEST_F(TrayTest, FollowsTheRecordingAndTheQuickKeyNeverStartsASecond) {
    engine.answer("record.start", {{"ok", true}});
    TrayApp tray(client, actions,
                 {.surface = TrayApp::Options::Surface::none, .globalKeys = false});
    tray.start();
    tray.refresh();
    ASSERT_TRUE(settle([&] {
        return client.isConnected() && engine.subscribers() == 1 &&
               findAction(tray.menu(), "Record");
    }));

    tray.quickRecord();
    ASSERT_TRUE(settle([&] { return engine.requests("record.start").size() == 1; }));
    EXPECT_EQ(engine.requests("record.start")[0]["params"],
              (core::Json{{"source", "all"}, {"microphone", nullptr}, {"noMic", false}}));

    engine.publish({{"event", "recording"}, {"state", "starting"}});
    ASSERT_TRUE(settle([&] { return tray.recordingState() == "starting"; }));
    EXPECT_TRUE(tray.recorderWindow().isVisible());  // shown when a recording starts
    engine.publish(
        {{"event", "recording"}, {"state", "recording"}, {"elapsed", 3725}, {"micLevel", 0.5}});
    ASSERT_TRUE(settle([&] { return findAction(tray.menu(), "Recording  1:02:05") != nullptr; }));
    EXPECT_TRUE(tray.trayToolTip().contains("1:02:05"));
    EXPECT_EQ(tray.recorderWindow().micMeter->value(), 50);

    tray.recorderWindow().hide();
    tray.quickRecord();  // while recording: the window, not a second recording
    EXPECT_TRUE(tray.recorderWindow().isVisible());
    QTest::qWait(0);
    EXPECT_EQ(engine.requests("record.start").size(), 1u);

    engine.publish({{"event", "recording"}, {"state", "idle"}});
    // The end of a recording makes the tray ask for everything again: let that settle first.
    ASSERT_TRUE(
        settle([&] { return !tray.recorderWindow().isVisible() && client.openRequests() == 0; }));

    // A recording a failure cut short keeps the window open to say why and what was sent.
    engine.publish({{"event", "recording"}, {"state", "starting"}});
    const std::string full = "Recording stopped: sayloft could not save the audio to disk.";
    engine.publish({{"event", "recording"}, {"state", "recording"}, {"warnings", {full}}});
    engine.publish({{"event", "recording"}, {"state", "stopping"}, {"warnings", {full}}});
    ASSERT_TRUE(settle([&] { return tray.recordingState() == "stopping"; }));
    tray.recorderWindow().hide();
    engine.publish({{"event", "recording"},
                    {"state", "idle"},
                    {"stoppedOnFailure", true},
                    {"lastResult", "Sent 260105-101500 (12 s)"}});
    ASSERT_TRUE(settle([&] { return tray.recorderWindow().isVisible(); }));
    EXPECT_EQ(tray.recorderWindow().messageLine->text().toStdString(),
              full + "\nSent 260105-101500 (12 s)");
}

TEST_F(TrayTest, RecorderButtonsSendTheirRequests) {
    engine.answer("record.start", {{"ok", true}});
    engine.answer("record.discard", {{"ok", true}});
    engine.script("record.stop", [](app::ControlConnection& c, const core::Json& r) {
        c.send({{"id", r["id"]}, {"out", "Encoding part 1 of 1…"}});
        ScriptedEngine::done(c, r, {{"ok", true}, {"result", "Sent 260105-101500 to Wendrel."}});
    });
    RecorderWindow window(client);
    window.refreshDevices();
    ASSERT_TRUE(settle([&] { return window.source->count() == 2; }));
    EXPECT_EQ(window.source->itemText(1), "Call (playing)");

    window.source->setCurrentIndex(1);
    window.microphone->setChecked(false);
    QTest::mouseClick(window.recordButton, Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return engine.requests("record.start").size() == 1; }));
    EXPECT_EQ(
        engine.requests("record.start")[0]["params"],
        (core::Json{{"source", "org.example.Call"}, {"microphone", nullptr}, {"noMic", true}}));

    window.showStatus({{"state", "paused"}, {"elapsed", 59}, {"outputKind", "headphones"}});
    EXPECT_EQ(window.statusLine->text(), "Paused  00:59");
    EXPECT_EQ(window.pauseButton->text(), "Resume");
    EXPECT_EQ(window.echoLine->text(), "Headphones: no echo");
    EXPECT_FALSE(window.recordButton->isEnabled());

    // A change of source during the recording goes to the engine; following its status does not.
    engine.answer("record.change", {{"ok", true}});
    window.showStatus(
        {{"state", "recording"}, {"elapsed", 60}, {"source", "all"}, {"outputKind", "headphones"}});
    EXPECT_EQ(window.source->currentIndex(), 0);
    EXPECT_TRUE(engine.requests("record.change").empty());
    window.source->setCurrentIndex(1);
    emit window.source->activated(1);
    ASSERT_TRUE(settle([&] { return engine.requests("record.change").size() == 1; }));
    EXPECT_EQ(engine.requests("record.change")[0]["params"]["source"], "org.example.Call");

    QStringList asked;
    window.confirmDiscard = [&](const QString& elapsed) {
        asked << elapsed;
        return false;
    };
    QTest::mouseClick(window.discardButton, Qt::LeftButton);  // kept
    window.confirmDiscard = [&](const QString&) { return true; };
    QTest::mouseClick(window.discardButton, Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return engine.requests("record.discard").size() == 1; }));
    EXPECT_EQ(asked, QStringList{"01:00"});

    QTest::mouseClick(window.stopButton, Qt::LeftButton);
    ASSERT_TRUE(
        settle([&] { return window.messageLine->text() == "Sent 260105-101500 to Wendrel."; }));
    EXPECT_EQ(engine.requests("record.stop").size(), 1u);
}

TEST_F(TrayTest, SettingsSaveWritesOnlyWhatChangedAndConnectPairs) {
    engine.answer("settings.get", {{"settings",
                                    {{"vaultPath", "/v"},
                                     {"vaultName", "V"},
                                     {"recentDays", 7},
                                     {"afterTranscriptCommand", "echo hi"}}},
                                   {"settingsFileExists", true},
                                   {"folders",
                                    {{{"id", "voice-memos"},
                                      {"name", "Voice Memos"},
                                      {"enabled", true},
                                      {"access", "Readable"}}}},
                                   {"paired", false}});
    engine.answer("settings.set");
    engine.answer("settings.unset");
    engine.script("pair", [](app::ControlConnection& c, const core::Json& r) {
        c.send({{"id", r["id"]}, {"out", "Pairing with http://127.0.0.1:1"}});
        c.send(
            {{"id", r["id"]}, {"out", "Your code: WXYZ-1234\nApprove this computer at: http://x"}});
        c.send({{"id", r["id"]}, {"out", "Connected: abcdef…"}});
        ScriptedEngine::done(c, r);
    });
    SettingsWindow window(client);
    int loads = 0;
    QObject::connect(&window, &SettingsWindow::loaded, [&] { ++loads; });
    window.reload();
    ASSERT_TRUE(settle([&] { return loads == 1 && client.openRequests() == 0; }));
    EXPECT_EQ(window.fieldText("vaultName"), "V");
    EXPECT_EQ(window.fieldText("searchDays"), "30");  // absent: what the store uses
    EXPECT_EQ(window.tabs->count(), 7);
    EXPECT_TRUE(window.showTab("Notify"));

    window.setFieldText("vaultName", "Work");
    window.findChild<QCheckBox*>("afterTranscriptSwitch")->setChecked(false);
    QTest::mouseClick(window.saveButton, Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return window.savedLine->text() == "Saved."; }));
    ASSERT_EQ(engine.requests("settings.set").size(), 1u);
    EXPECT_EQ(engine.requests("settings.set")[0]["params"],
              (core::Json{{"key", "vaultName"}, {"value", "Work"}}));
    ASSERT_EQ(engine.requests("settings.unset").size(), 1u);
    EXPECT_EQ(engine.requests("settings.unset")[0]["params"]["key"], "afterTranscriptCommand");

    QTest::mouseClick(window.connectButton, Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return window.pairingLine->text().startsWith("Connected"); }));
    EXPECT_EQ(engine.requests("pair").size(), 1u);
}

TEST_F(TrayTest, SettingsShowThePendingAndMatchingCountsTheEngineGives) {
    std::atomic<int> pending = 3;
    engine.script("retry.count", [&pending](app::ControlConnection& c, const core::Json& r) {
        ScriptedEngine::done(c, r, {{"count", pending.load()}});
    });
    engine.script("retry", [&pending](app::ControlConnection& c, const core::Json& r) {
        c.send({{"id", r["id"]}, {"out", "Uploading 1 of 3"}});
        pending = 1;
        c.send({{"id", r["id"]}, {"out", "Done. 2 uploaded, 0 skipped, 1 failed."}});
        ScriptedEngine::done(c, r);
    });
    // Two recordings from 2026-03-01 on; the folder cannot be read for dates in 2030.
    engine.script("import.count", [](app::ControlConnection& c, const core::Json& r) {
        const auto since = r["params"].value("since", "");
        if (since >= "2030") {
            c.send({{"id", r["id"]},
                    {"err", "Cannot read the Voice Memos folder: Permission denied"}});
            return ScriptedEngine::done(c, r, {{"exitCode", 1}});
        }
        ScriptedEngine::done(c, r, {{"count", since <= "2026-03-01" ? 2 : 0}});
    });
    engine.answer("import", {}, {"Queued 2 recordings."});
    SettingsWindow window(client);
    window.reload();
    ASSERT_TRUE(
        settle([&] { return window.uploadButton->text() == "Upload pending captures (3)"; }));
    QTest::mouseClick(window.uploadButton, Qt::LeftButton);
    ASSERT_TRUE(
        settle([&] { return window.uploadButton->text() == "Upload pending captures (1)"; }));
    EXPECT_EQ(window.uploadLine->text(), "Done. 2 uploaded, 0 skipped, 1 failed.");

    window.openImportSheet();
    window.importFrom->setDate(QDate(2026, 1, 1));
    ASSERT_TRUE(settle([&] { return window.importMatches->text() == "2 recordings match."; }));
    EXPECT_EQ(window.importOnly->text(),
              "Only recordings from Jan 1, 2026 will be sent, one at a time.");
    window.importFrom->setDate(QDate(2026, 6, 1));
    ASSERT_TRUE(settle([&] { return window.importMatches->text() == "No recordings match."; }));
    window.importFrom->setDate(QDate(2031, 1, 1));
    ASSERT_TRUE(settle([&] { return window.importMatches->text().startsWith("Cannot read"); }));
    window.importFrom->setDate(QDate(2026, 2, 1));
    window.importSheet->accept();
    ASSERT_TRUE(settle([&] { return window.importLine->text() == "Queued 2 recordings."; }));
    EXPECT_EQ(engine.requests("import")[0]["params"]["since"], "2026-02-01");
}

TEST_F(TrayTest, SearchFiltersActsOnTheSelectionAndTrashesThroughTheEngine) {
    auto trashed = std::make_shared<std::atomic<bool>>(false);
    engine.script("search", [trashed](app::ControlConnection& c, const core::Json& r) {
        core::Json results = core::Json::array();
        results.push_back(fileEntry("plan.md", "/v/notes/plan.md", "vault", 300));
        if (!*trashed)
            results.push_back(fileEntry("budget.xlsx", "/v/_outbox/budget.xlsx", "outbox", 200));
        results.push_back(fileEntry("data.csv", "/v/data.csv", "vault", 100));
        ScriptedEngine::done(c, r, {{"results", results}});
    });
    engine.script("trash", [trashed](app::ControlConnection& c, const core::Json& r) {
        *trashed = true;
        ScriptedEngine::done(c, r, {{"ok", true}, {"trashedTo", "/t"}});
    });
    SearchWindow window(client, actions);
    int searches = 0;
    QObject::connect(&window, &SearchWindow::searched, [&] { ++searches; });
    window.reset();
    ASSERT_TRUE(settle([&] { return searches == 1; }));
    EXPECT_EQ(window.results->count(), 3);

    // Each change searches again; only the newest answer is shown.
    auto searchedAgain = [&](auto change) {
        int before = searches;
        change();
        return settle([&] { return searches > before && client.openRequests() == 0; });
    };
    ASSERT_TRUE(searchedAgain([&] { QTest::keyClicks(window.query, "pl"); }));
    auto asked = engine.requests("search");  // each on its own connection: in any order
    EXPECT_TRUE(std::any_of(asked.begin(), asked.end(),
                            [](auto& r) { return r["params"]["query"] == "pl"; }));

    ASSERT_TRUE(searchedAgain([&] { window.chips[4]->setChecked(true); }));  // xls, xlsx, ods, csv
    ASSERT_EQ(window.results->count(), 2);
    ASSERT_TRUE(searchedAgain([&] { window.scope->setCurrentIndex(2); }));  // Outbox
    ASSERT_EQ(window.results->count(), 1);
    EXPECT_EQ(window.selectedEntry()["filename"], "budget.xlsx");

    window.confirmDelete = [](const QString&) { return true; };
    QTest::keyClick(window.query, Qt::Key_D, Qt::ControlModifier);
    ASSERT_TRUE(settle([&] { return window.results->count() == 0; }));
    EXPECT_EQ(engine.requests("trash")[0]["params"]["path"], "/v/_outbox/budget.xlsx");

    ASSERT_TRUE(searchedAgain([&] { window.scope->setCurrentIndex(0); }));
    window.results->setCurrentRow(0);
    QTest::keyClick(window.query, Qt::Key_Return);
    EXPECT_EQ(actions.calls.back(), "open /v/data.csv");
}

TEST_F(TrayTest, StartAtLoginWritesAndRemovesTheAutostartEntry) {
    test::TempHome home;
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (test::buildPath("apps/sayloft-tray").string() + ":" + path).c_str(), 1);
    SettingsWindow window(client);
    const auto entry = home.path() / ".config/autostart/sayloft.desktop";
    EXPECT_FALSE(window.loginItemBox->isChecked());

    window.loginItemBox->click();
    EXPECT_TRUE(window.loginItemBox->isChecked()) << window.loginItemLine->text().toStdString();
    EXPECT_NE(test::readFile(entry).find("sayloft-tray"), std::string::npos);
    window.loginItemBox->click();
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(window.loginItemLine->text(), "sayloft no longer starts at login.");
    ::setenv("PATH", path.c_str(), 1);
}

TEST_F(TrayTest, WelcomeChoosesTheVaultThroughTheEngine) {
    engine.answer("settings.set");
    WelcomeWindow window(client);
    window.reload();
    ASSERT_TRUE(settle([&] { return window.vaultLine->text().contains("/v"); }));
    EXPECT_EQ(window.doneButton->text(), "Done");
    window.useVault("/home/u/Notes", "Notes");
    ASSERT_TRUE(settle([&] { return engine.requests("settings.set").size() == 2; }));
    std::set<std::string> keys;
    for (auto& r : engine.requests("settings.set"))
        keys.insert(r["params"]["key"].get<std::string>());
    EXPECT_EQ(keys, (std::set<std::string>{"vaultName", "vaultPath"}));
}

TEST_F(TrayTest, WithoutATrayHostTheMenuLivesInASmallWindow) {
    std::unique_ptr<sayloft::test::PrivateBus> bus;
    try {
        bus = std::make_unique<sayloft::test::PrivateBus>();
    } catch (const sayloft::test::BusUnavailable& e) {
        GTEST_SKIP() << e.what();
    }
    auto address = QString::fromStdString(bus->address());
    auto look = QDBusConnection::connectToBus(address, "look");
    EXPECT_FALSE(trayHostAvailable(look));
    auto host = QDBusConnection::connectToBus(address, "host");
    ASSERT_TRUE(host.registerService("org.kde.StatusNotifierWatcher"));
    EXPECT_TRUE(trayHostAvailable(look));
    QDBusConnection::disconnectFromBus("look");
    QDBusConnection::disconnectFromBus("host");

    TrayApp tray(client, actions,
                 {.surface = TrayApp::Options::Surface::window, .globalKeys = false});
    ASSERT_NE(tray.fallbackWindow(), nullptr);
    EXPECT_TRUE(tray.fallbackWindow()->isVisible());
    tray.start();
    tray.refresh();
    ASSERT_TRUE(settle([&] { return findAction(tray.menu(), "Today (2)") != nullptr; }));
}

TEST_F(TrayTest, AnAnswerForAWindowThatIsGoneIsDropped) {
    std::atomic<bool> release = false;
    engine.script("settings.get", [&release](app::ControlConnection& c, const core::Json& r) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ScriptedEngine::done(c, r);
    });
    bool called = false;
    auto* window = new QObject;
    client.request(window, "settings.get", core::Json::object(),
                   [&called](const Reply&) { called = true; });
    ASSERT_TRUE(settle([&] { return engine.requests("settings.get").size() == 1; }));
    delete window;
    release = true;
    ASSERT_TRUE(settle([&] { return client.openRequests() == 0; }));
    QTest::qWait(50);
    EXPECT_FALSE(called);
}

TEST(TrayEngineStart, StartsTheDaemonOnceWhenNoEngineAnswers) {
    qtApp();
    sayloft::test::TempDir dir;
    auto marker = dir / "started";
    EngineClient client(QString::fromStdString((dir / "control.sock").string()));
    client.setDaemonCommand({"/bin/sh", "-c", "echo x >> " + marker.string()});
    client.setRetryInterval(10);
    client.start();
    ASSERT_TRUE(settle([&] { return std::filesystem::exists(marker); }));
    // A scripted engine comes up at the address: the subscription finds it.
    ScriptedEngine engine(dir / "control.sock");
    ASSERT_TRUE(settle([&] { return client.isConnected(); }));
    EXPECT_TRUE(client.startedDaemon());
    std::ifstream in(marker);
    std::string all((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(all, "x\n");  // once, although the first tries failed
}

}  // namespace
