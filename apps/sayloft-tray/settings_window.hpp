#pragma once

#include <QCheckBox>
#include <QDateEdit>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWidget>
#include <functional>
#include <map>
#include <string>

#include "core/json.hpp"
#include "engine_client.hpp"

namespace sayloft::tray {

// The form over the settings. It edits a working copy loaded from the engine (`settings.get`)
// and writes only what changed, through `settings.set` / `settings.unset`, when Save is pressed.
// Connect, Disconnect, sending pending captures, sync and the test notification act at once.
class SettingsWindow : public QWidget {
    Q_OBJECT
  public:
    explicit SettingsWindow(EngineClient& engine, QWidget* parent = nullptr);

    // Loads the working copy (and the folders, pairing and device lists) from the engine.
    void reload();
    // Shows the tab with this title ("General", "Captures", ...); false when there is none.
    bool showTab(const QString& title);
    // The working copy's text for a key, as settings.set takes it.
    QString fieldText(const std::string& key) const;
    void setFieldText(const std::string& key, const QString& text);
    void save();

    // Opens a folder with the desktop's file manager (the Paths tab's buttons).
    std::function<void(const QString& path)> openFolder;
    // The import sheet: queues the Voice Memos recordings from `since` on (yyyy-MM-dd).
    void sendExisting(const QString& since);
    // Opens the import sheet; its count of matching recordings follows the date.
    void openImportSheet();
    QLabel* importLine;
    QDialog* importSheet = nullptr;
    QDateEdit* importFrom = nullptr;
    QLabel* importOnly = nullptr;
    QLabel* importMatches = nullptr;

    // The one-time note about global keys (set by the app when they cannot be registered).
    void setKeysNote(const QString& note);

    QTabWidget* tabs;
    QPushButton* saveButton;
    QLabel* savedLine;
    QLabel* pairingLine;
    QPushButton* connectButton;
    QPushButton* disconnectButton;
    QPushButton* uploadButton;
    QLabel* uploadLine;
    QPushButton* syncButton;
    QLabel* syncLine;
    QPushButton* testNotificationButton;
    QLabel* notifyLine;
    QLabel* keysNote;
    // Start at login: the XDG autostart entry, as `sayloft autostart on|off` writes it.
    QCheckBox* loginItemBox;
    QLabel* loginItemLine;
    void setStartAtLogin(bool on);
    QVBoxLayout* foldersBox;

  signals:
    void loaded();
    void savedAll();

  private:
    void showStartAtLogin();
    void countMatching();
    // Asks the engine how many captures "Upload pending captures" would send, for its button.
    void countPending();
    int matchQuestion_ = 0;
    struct Field {
        std::string key;
        enum class Kind { text, number, boolean, list, lines, choice } kind;
        QWidget* widget = nullptr;
        QString loaded;             // the text loaded from the engine
        bool optionalText = false;  // empty text removes the key
    };
    QWidget* addField(const std::string& key, Field::Kind kind, bool optionalText = false,
                      const std::vector<std::pair<QString, QString>>& choices = {});
    void showFolders(const core::Json& folders);
    void showPairing(const core::Json& answer);
    void connectToService();

    EngineClient& engine_;
    std::map<std::string, Field> fields_;
    QCheckBox* commandSwitch_ = nullptr;
    int pairingRequest_ = 0;
    bool commandLoaded_ = false;
};

}  // namespace sayloft::tray
