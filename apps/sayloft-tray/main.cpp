// sayloft-tray: the desktop front-end of the sayloft engine.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPainter>
#include <QTimer>
#include <iostream>

#include "browser/file_actions.hpp"
#include "platform/opener.hpp"
#include "recorder_window.hpp"
#include "sayloft/version.hpp"
#include "search_window.hpp"
#include "settings_window.hpp"
#include "tray_app.hpp"
#include "tray_places.hpp"
#include "welcome_window.hpp"

using namespace sayloft;
using namespace sayloft::tray;

namespace {

// The daemon's program: beside this one when installed, in the build tree's apps/sayloft when
// run from there, else whatever `sayloft` PATH finds.
std::string daemonProgram() {
    const QString here = QCoreApplication::applicationDirPath();
    for (auto candidate : {here + "/sayloft", here + "/../sayloft/sayloft"})
        if (QFileInfo(candidate).isExecutable()) return QDir::cleanPath(candidate).toStdString();
    return "sayloft";
}

// The menu with its "Vault" submenu opened beside it, as one picture.
QPixmap grabMenu(QMenu* menu) {
    menu->ensurePolished();
    menu->adjustSize();
    QPixmap top = menu->grab();
    QMenu* vault = nullptr;
    QRect row;
    for (auto* action : menu->actions()) {
        if (action->menu() && action->text() == "Vault") {
            vault = action->menu();
            row = menu->actionGeometry(action);
        }
    }
    if (!vault) return top;
    vault->ensurePolished();
    vault->adjustSize();
    QPixmap side = vault->grab();
    QPixmap out(top.width() + side.width() - 4, std::max(top.height(), row.top() + side.height()));
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.drawPixmap(0, 0, top);
    p.drawPixmap(top.width() - 4, row.top(), side);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("sayloft-tray");
    QGuiApplication::setDesktopFileName("sayloft-tray");  // how portals and Wayland know us
    QApplication::setApplicationVersion(kVersion);
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser cli;
    cli.setApplicationDescription(
        "The sayloft tray: menu, recorder, search, settings and welcome.");
    cli.addHelpOption();
    cli.addVersionOption();
    QCommandLineOption show(
        "show", "Open a window: menu, recorder, search, settings[:TAB] or welcome.", "window");
    QCommandLineOption screenshot("screenshot", "Save the --show window as a PNG and exit.",
                                  "file");
    QCommandLineOption search("search", "Open the search window.");
    QCommandLineOption socket("socket", "The engine's control socket.", "path");
    QCommandLineOption noStart("no-start", "Do not start the engine when none answers.");
    QCommandLineOption noTray("no-tray", "Use the small window instead of a tray icon.");
    cli.addOptions({show, screenshot, search, socket, noStart, noTray});
    cli.process(app);

    const bool shooting = cli.isSet(screenshot);
    QString what = cli.value(show).section(':', 0, 0);
    const QString tab = cli.value(show).section(':', 1);
    if (cli.isSet(search)) what = "search";
    if (!what.isEmpty() &&
        !QStringList{"menu", "recorder", "search", "settings", "welcome"}.contains(what)) {
        std::cerr
            << "sayloft-tray: --show takes menu, recorder, search, settings[:TAB] or welcome\n";
        return 2;
    }
    if (shooting && what.isEmpty()) {
        std::cerr << "sayloft-tray: --screenshot needs --show\n";
        return 2;
    }

    // One tray per user: a second start hands its --show to the running one and ends.
    QLocalServer instance;
    if (!shooting) {
        QLocalSocket running;
        running.connectToServer(trayInstancePath());
        if (running.waitForConnected(1000)) {
            running.write((cli.value(show).isEmpty() ? what : cli.value(show)).toUtf8() + "\n");
            running.waitForBytesWritten(1000);
            running.disconnectFromServer();
            return 0;
        }
        QLocalServer::removeServer(trayInstancePath());
        instance.setSocketOptions(QLocalServer::UserAccessOption);
        if (!instance.listen(trayInstancePath()))
            std::cerr << "sayloft-tray: " << instance.errorString().toStdString() << "\n";
    }

    EngineClient engine(cli.isSet(socket) ? cli.value(socket) : engineSocketPath());
    if (!cli.isSet(noStart)) engine.setDaemonCommand({daemonProgram(), "run"});

    platform::XdgOpener opener;
    browser::DesktopFileActions actions(opener, browser::findPdfConverter());

    TrayApp::Options options;
    if (shooting)
        options.surface = TrayApp::Options::Surface::none;
    else if (cli.isSet(noTray) || !trayHostAvailable() || !QSystemTrayIcon::isSystemTrayAvailable())
        options.surface = TrayApp::Options::Surface::window;
    options.openWelcomeOnFirstRun = !shooting && !cli.isSet(show);
    options.globalKeys = !shooting;
    TrayApp tray(engine, actions, options);

    QWidget* window = nullptr;
    auto open = [&](const QString& what, const QString& tab) {
        if (what == "recorder") {
            tray.showRecorder();
            window = &tray.recorderWindow();
        } else if (what == "search") {
            tray.toggleSearch();
            window = &tray.searchWindow();
        } else if (what == "settings") {
            tray.showSettings(tab);
            window = &tray.settingsWindow();
        } else if (what == "welcome") {
            tray.showWelcome();
            window = &tray.welcomeWindow();
        } else if (what == "menu" && !shooting) {
            tray.menu()->popup(QCursor::pos());
        }
    };
    if (!what.isEmpty() &&
        !QStringList{"menu", "recorder", "search", "settings", "welcome"}.contains(what)) {
        std::cerr
            << "sayloft-tray: --show takes menu, recorder, search, settings[:TAB] or welcome\n";
        return 2;
    }
    if (what == "settings" && !tab.isEmpty() && !tray.settingsWindow().showTab(tab)) {
        std::cerr << "sayloft-tray: no settings tab \"" << tab.toStdString() << "\"\n";
        return 2;
    }
    QObject::connect(&instance, &QLocalServer::newConnection, &app, [&] {
        while (auto* peer = instance.nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::readyRead, peer, [&, peer] {
                if (!peer->canReadLine()) return;
                auto asked = QString::fromUtf8(peer->readLine()).trimmed();
                open(asked.section(':', 0, 0), asked.section(':', 1));
                if (window) window->activateWindow();
                peer->disconnectFromServer();
            });
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        }
    });

    bool first = true;
    QObject::connect(&tray, &TrayApp::loaded, &app, [&] {
        if (!first) return;
        first = false;
        open(what, tab);
        if (!shooting) return;
        // Wait until the window's own requests have answered (twice quiet in a row), then save.
        auto* poll = new QTimer(&app);
        auto quiet = std::make_shared<int>(0);
        auto waited = std::make_shared<QElapsedTimer>();
        waited->start();
        QObject::connect(poll, &QTimer::timeout, &app, [&, poll, quiet, waited] {
            *quiet = engine.openRequests() == 0 ? *quiet + 1 : 0;
            if (*quiet < 3 && waited->elapsed() < 10000) return;
            poll->stop();
            QPixmap picture = window ? window->grab() : grabMenu(tray.menu());
            const bool saved = picture.save(cli.value(screenshot), "PNG");
            if (!saved)
                std::cerr << "sayloft-tray: could not write " << cli.value(screenshot).toStdString()
                          << "\n";
            app.exit(saved ? 0 : 1);
        });
        poll->start(100);
    });
    tray.start();
    tray.refresh();
    return app.exec();
}
