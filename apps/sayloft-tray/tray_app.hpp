#pragma once

#include <QDBusConnection>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "browser/file_actions.hpp"
#include "core/json.hpp"
#include "engine_client.hpp"

namespace sayloft::tray {

class RecorderWindow;
class SearchWindow;
class SettingsWindow;
class WelcomeWindow;
class GlobalKeys;

// True when a StatusNotifierWatcher is on the session bus, so a tray icon will be seen.
bool trayHostAvailable(const QDBusConnection& bus = QDBusConnection::sessionBus());

// The tray app: follows the engine's state (menu, recording, unfinished recordings, settings)
// and shows it in the tray icon's menu and the windows. It holds no capture, recording or
// scanning logic: every action is a request to the engine or a desktop action on a file.
class TrayApp : public QObject {
    Q_OBJECT
  public:
    struct Options {
        enum class Surface { trayIcon, window, none };
        // trayIcon; window: the small window with the menu, where no tray host exists; none:
        // only the windows asked for (screenshots).
        Surface surface = Surface::trayIcon;
        bool openWelcomeOnFirstRun = true;
        bool globalKeys = true;  // quick record and search from anywhere
        // Where the desktop portal for keys is looked for when the display grabs none (the
        // session bus when unset), and how long it may stay silent.
        std::optional<QDBusConnection> portalBus;
        std::chrono::milliseconds portalTimeout{std::chrono::seconds(30)};
    };
    TrayApp(EngineClient& engine, browser::FileActions& actions, Options options);
    ~TrayApp() override;

    // Connects to the engine and loads its state.
    void start();
    // Asks the engine for the menu, the recording status, the unfinished recordings and the
    // settings again; `loaded` follows when all have answered.
    void refresh();

    // The menu as it is drawn now (tray icon's context menu and the fallback window's button).
    QMenu* menu() { return menu_.get(); }
    QWidget* fallbackWindow() { return fallback_; }
    const core::Json& recording() const { return recording_; }
    std::string recordingState() const { return recording_.value("state", "idle"); }
    QString trayToolTip() const;
    int todayCount() const { return todayCount_; }

    RecorderWindow& recorderWindow();
    SearchWindow& searchWindow();
    SettingsWindow& settingsWindow();
    WelcomeWindow& welcomeWindow();

    void showRecorder();
    void toggleSearch();
    void showSettings(const QString& tab = {});
    void showWelcome();
    // The quick-record key: starts a recording with the current options when none runs, else
    // shows the recorder window.
    void quickRecord();

    // Asks before destructive menu actions; replaced by tests. (title, detail) → confirmed.
    std::function<bool(const QString&, const QString&)> confirm;

  signals:
    void loaded();
    void menuRebuilt();

  private:
    void rebuildMenu();
    void addEngineItems(QMenu* into, const core::Json& items);
    void addRecorderRows(QMenu* into);
    void runMenuAction(const core::Json& item);
    void onEvent(const core::Json& event);
    void followRecording(const core::Json& status);
    void updateIcon();
    void fetch(const QString& method, std::function<void(const Reply&)> use);

    EngineClient& engine_;
    browser::FileActions& actions_;
    Options options_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* icon_ = nullptr;
    QPointer<QWidget> fallback_;
    QPointer<RecorderWindow> recorder_;
    QPointer<SearchWindow> search_;
    QPointer<SettingsWindow> settings_;
    QPointer<WelcomeWindow> welcome_;
    GlobalKeys* keys_ = nullptr;
    QString keysNote_;
    std::optional<bool> quickKeyApplied_;

    core::Json menuItems_ = core::Json::array();
    QString menuProblem_;
    core::Json recording_ = {{"state", "idle"}};
    core::Json settingsAnswer_ = core::Json::object();
    core::Json unfinished_ = core::Json::array();  // the `recordings` answer's list
    QStringList sendingRecovery_;
    int todayCount_ = 0;
    int iconLook_ = -2;  // what the icon shows: -1 recording, else today's count
    int pending_ = 0;
    bool welcomeChecked_ = false;
};

}  // namespace sayloft::tray
