// Keys from anywhere through a desktop portal on a private session bus: the tray runs on the
// offscreen platform (no key grabs), so it binds its keys through the portal.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QLabel>
#include <QTimer>
#include <memory>

#include "browser/file_actions.hpp"
#include "fake_notification_server.hpp"
#include "global_keys.hpp"
#include "recorder_window.hpp"
#include "scripted_engine.hpp"
#include "search_window.hpp"
#include "settings_window.hpp"
#include "shortcuts_portal.hpp"
#include "test_support.hpp"
#include "tray_app.hpp"

using namespace sayloft;
using namespace sayloft::tray;
using sayloft::test::ScriptedEngine;
using sayloft::test::settle;

// A GlobalShortcuts portal as a desktop offers it: requests answer with a Response signal on
// the request object named after the caller and its handle_token. Records what it was asked.
class FakePortal : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
  public:
    explicit FakePortal(QDBusConnection bus) : bus_(std::move(bus)) {}
    uint version() const { return 1; }

    bool answerCreate = true;
    bool sessionAsString = false;  // as older portals answer it
    uint bindResponse = 0;
    QString session;
    QString bindSignature;
    PortalShortcuts asked;

    void closeSession() {
        auto signal =
            QDBusMessage::createSignal(session, "org.freedesktop.portal.Session", "Closed");
        signal << QVariantMap();
        bus_.send(signal);
    }

    void changeTrigger(const QString& id, const QString& trigger) {
        auto signal = QDBusMessage::createSignal(ShortcutsPortal::kPath,
                                                 ShortcutsPortal::kInterface, "ShortcutsChanged");
        PortalShortcuts changed{{id, {{"trigger_description", trigger}}}};
        signal << QVariant::fromValue(QDBusObjectPath(session)) << QVariant::fromValue(changed);
        bus_.send(signal);
    }

    void activate(const QString& sessionHandle, const QString& id) {
        auto signal = QDBusMessage::createSignal(ShortcutsPortal::kPath,
                                                 ShortcutsPortal::kInterface, "Activated");
        signal << QVariant::fromValue(QDBusObjectPath(sessionHandle)) << id << qulonglong(7)
               << QVariantMap();
        bus_.send(signal);
    }

  public slots:
    QDBusObjectPath CreateSession(const QVariantMap& options) {
        session = handle("session", options.value("session_handle_token").toString());
        const auto request = handle("request", options.value("handle_token").toString());
        if (answerCreate)
            respond(request, 0,
                    {{"session_handle", sessionAsString
                                            ? QVariant(session)
                                            : QVariant::fromValue(QDBusObjectPath(session))}});
        return QDBusObjectPath(request);
    }

    QDBusObjectPath BindShortcuts(const QDBusObjectPath& sessionHandle,
                                  // spelled out: Qt finds the slot's D-Bus types by name
                                  const QList<sayloft::tray::PortalShortcut>& shortcuts,
                                  const QString&, const QVariantMap& options) {
        bindSignature = message().signature();
        asked = shortcuts;
        const auto request = handle("request", options.value("handle_token").toString());
        if (sessionHandle.path() != session) bindResponse = 2;
        PortalShortcuts accepted = shortcuts;
        for (auto& s : accepted)
            s.options = {{"description", s.options.value("description")},
                         {"trigger_description", s.id == "search" ? "Shift+Super+V" : "Press F9"}};
        respond(request, bindResponse, {{"shortcuts", QVariant::fromValue(accepted)}});
        return QDBusObjectPath(request);
    }

  private:
    QString handle(const QString& kind, const QString& token) {
        QString sender = message().service().mid(1);
        sender.replace('.', '_');
        return QString(ShortcutsPortal::kPath) + "/" + kind + "/" + sender + "/" + token;
    }
    // The answer follows the method's reply, as a portal's does.
    void respond(const QString& request, uint code, const QVariantMap& results) {
        const auto caller = message().service();
        QTimer::singleShot(0, this, [=, this] {
            auto signal = QDBusMessage::createTargetedSignal(
                caller, request, "org.freedesktop.portal.Request", "Response");
            signal << code << results;
            bus_.send(signal);
        });
    }
    QDBusConnection bus_;
};

namespace {

class NoActions : public browser::FileActions {
  public:
    bool open(const std::string&) override { return true; }
    bool reveal(const std::string&) override { return true; }
    bool mail(const std::vector<std::string>&, const std::string&) override { return true; }
    std::string convertToPdf(const std::string& path) override { return path; }
    void trash(const std::string&) override {}
};

class PortalKeysTest : public ::testing::Test {
  protected:
    PortalKeysTest()
        : engine(dir / "control.sock"),
          client(QString::fromStdString((dir / "control.sock").string())) {
        QGuiApplication::setDesktopFileName("sayloft-tray");
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<PortalShortcuts>();
        engine.answer("record.status", {{"state", "idle"}});
        engine.answer("recordings");
        engine.answer("menu", {{"menu", core::Json::array()}});
        engine.answer("devices", {{"apps", core::Json::array()}});
        answerSettings(true);
        engine.answer("record.start", {{"ok", true}});
    }
    void SetUp() override {
        ASSERT_NE(QApplication::instance(), nullptr);
        try {
            bus = std::make_unique<sayloft::test::PrivateBus>();
        } catch (const sayloft::test::BusUnavailable& e) {
            GTEST_SKIP() << e.what();
        }
    }
    void TearDown() override {
        for (auto& name : connections) QDBusConnection::disconnectFromBus(name);
    }
    void answerSettings(bool quickKey) {
        engine.answer("settings.get",
                      {{"settings", {{"vaultPath", "/v"}, {"recordingQuickKey", quickKey}}},
                       {"settingsFileExists", true}});
    }
    QDBusConnection connect(const QString& name) {
        connections << name;
        return QDBusConnection::connectToBus(QString::fromStdString(bus->address()), name);
    }
    // A fake portal owning the portal's name on the private bus.
    std::unique_ptr<FakePortal> startPortal() {
        auto conn = connect("portal");
        auto portal = std::make_unique<FakePortal>(conn);
        EXPECT_TRUE(conn.registerService(ShortcutsPortal::kService));
        EXPECT_TRUE(conn.registerObject(
            ShortcutsPortal::kPath, portal.get(),
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties));
        return portal;
    }
    // The portal process ends and another takes its name.
    void restartPortal() {
        auto conn = connect("portal");
        EXPECT_TRUE(conn.unregisterService(ShortcutsPortal::kService));
        EXPECT_TRUE(conn.registerService(ShortcutsPortal::kService));
    }
    std::unique_ptr<TrayApp> startTray(
        std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto tray = std::make_unique<TrayApp>(
            client, actions,
            TrayApp::Options{.surface = TrayApp::Options::Surface::none,
                             .openWelcomeOnFirstRun = false,
                             .portalBus = connect("tray" + QString::number(connections.size())),
                             .portalTimeout = timeout});
        tray->start();
        tray->refresh();
        return tray;
    }

    sayloft::test::TempHome home;
    sayloft::test::TempDir dir;
    ScriptedEngine engine;
    EngineClient client;
    NoActions actions;
    std::unique_ptr<sayloft::test::PrivateBus> bus;
    QStringList connections;
};

TEST_F(PortalKeysTest, BindsBothKeysAndActsOnOurSessionsActivations) {
    auto portal = startPortal();
    sayloft::test::LogCollector log;
    auto tray = startTray();
    ASSERT_TRUE(settle([&] { return log.contains("keys registered through the desktop portal"); }))
        << portal->session.toStdString();
    EXPECT_TRUE(log.contains("quick-record: Press F9, search: Shift+Super+V"));
    EXPECT_EQ(portal->bindSignature, "oa(sa{sv})sa{sv}");
    ASSERT_EQ(portal->asked.size(), 2);
    EXPECT_EQ(portal->asked[0].id, "quick-record");
    EXPECT_EQ(portal->asked[0].options.value("preferred_trigger"), "CTRL+ALT+LOGO+r");
    EXPECT_EQ(portal->asked[1].id, "search");
    EXPECT_EQ(portal->asked[1].options.value("preferred_trigger"), "SHIFT+LOGO+v");
    EXPECT_TRUE(tray->settingsWindow().keysNote->isHidden());

    portal->activate(portal->session, "quick-record");
    ASSERT_TRUE(settle([&] { return engine.requests("record.start").size() == 1; }));

    // While a recording runs the key shows the recorder instead of starting another. An
    // activation of someone else's session, sent before, changes nothing.
    engine.publish({{"event", "recording"}, {"state", "recording"}, {"elapsed", 2}});
    ASSERT_TRUE(settle([&] { return tray->recordingState() == "recording"; }));
    tray->recorderWindow().hide();
    portal->activate("/org/freedesktop/portal/desktop/session/1_99/other", "search");
    portal->activate(portal->session, "quick-record");
    ASSERT_TRUE(settle([&] { return tray->recorderWindow().isVisible(); }));
    EXPECT_FALSE(tray->searchWindow().isVisible());
    EXPECT_EQ(engine.requests("record.start").size(), 1u);

    portal->activate(portal->session, "search");
    ASSERT_TRUE(settle([&] { return tray->searchWindow().isVisible(); }));

    // With the quick-record key turned off in the settings its activations are ignored.
    answerSettings(false);
    engine.publish({{"event", "recording"}, {"state", "idle"}});
    ASSERT_TRUE(settle([&] { return tray->recordingState() == "idle"; }));
    bool loaded = false;
    QObject::connect(tray.get(), &TrayApp::loaded, [&] { loaded = true; });
    tray->refresh();
    ASSERT_TRUE(settle([&] { return loaded; }));
    portal->activate(portal->session, "quick-record");
    portal->activate(portal->session, "search");
    ASSERT_TRUE(settle([&] { return !tray->searchWindow().isVisible(); }));
    EXPECT_EQ(log.count("start from the quick-record key"), 2u);

    // The desktop ends the session: the keys are gone, the note says so.
    portal->closeSession();
    ASSERT_TRUE(settle([&] { return !tray->settingsWindow().keysNote->isHidden(); }));
    EXPECT_EQ(tray->settingsWindow().keysNote->text(), GlobalKeys::unavailableNote());

    // A portal that starts again knows nothing of the old session: the keys are bound anew,
    // and the note goes. Triggers the user changes on the desktop are followed.
    const auto closed = portal->session;
    restartPortal();
    ASSERT_TRUE(settle([&] { return tray->settingsWindow().keysNote->isHidden(); }));
    EXPECT_TRUE(log.contains("the desktop portal was restarted; binding the keys again") ||
                log.contains("the desktop portal came up; binding the keys again"));
    EXPECT_NE(portal->session, closed);
    portal->activate(portal->session, "search");
    ASSERT_TRUE(settle([&] { return tray->searchWindow().isVisible(); }));
    portal->changeTrigger("search", "Ctrl+F12");
    ASSERT_TRUE(
        settle([&] { return log.contains("the desktop changed the keys: search: Ctrl+F12"); }));
}

TEST_F(PortalKeysTest, RefusedSilentOrMissingPortalLeavesTheNote) {
    auto noteShown = [](TrayApp& tray) {
        auto* note = tray.settingsWindow().keysNote;
        return !note->isHidden() && note->text() == GlobalKeys::unavailableNote();
    };
    {
        SCOPED_TRACE("no portal on the bus");
        auto tray = startTray();
        ASSERT_TRUE(settle([&] { return noteShown(*tray); }));
        EXPECT_TRUE(GlobalKeys::unavailableNote().contains("sayloft-tray --search"));
    }
    auto portal = startPortal();
    {
        SCOPED_TRACE("the user cancelled");
        portal->bindResponse = 1;
        portal->sessionAsString = true;
        auto tray = startTray();
        ASSERT_TRUE(settle([&] { return noteShown(*tray); }));
        EXPECT_EQ(portal->asked.size(), 2);
        EXPECT_EQ(portal->bindResponse, 1u);  // the string handle reached BindShortcuts
    }
    {
        SCOPED_TRACE("the portal never answers");
        portal->answerCreate = false;
        auto tray = startTray(std::chrono::milliseconds(0));
        ASSERT_TRUE(settle([&] { return noteShown(*tray); }));
    }
}

}  // namespace

#include "portal_keys_test.moc"
