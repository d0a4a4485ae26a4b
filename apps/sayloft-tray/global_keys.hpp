#pragma once

#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <chrono>
#include <optional>

namespace sayloft::tray {

class ShortcutsPortal;

// The two keys that work from anywhere: quick record (Ctrl+Alt+Super+R) and search
// (Shift+Super+V). On X11 they are grabbed on the root window; elsewhere they are bound
// through the desktop portal's global shortcuts when the session bus offers them. Where
// neither works, `unavailableNote()` says how to bind the commands in the desktop's own
// keyboard settings.
class GlobalKeys : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
  public:
    // `portalBus`: where to look for the desktop portal (the session bus when unset).
    explicit GlobalKeys(QObject* parent = nullptr,
                        std::optional<QDBusConnection> portalBus = std::nullopt);
    ~GlobalKeys() override;

    // Grabs the search key and, when `record` is on, the quick-record key. False when another
    // program holds a key or no way to register keys is left; see problem().
    // Without X11 the first call binds both keys through the desktop portal, which answers
    // later: problemChanged() follows when it refuses, does not answer, or binds after all.
    // The portal keeps the quick-record key bound while `record` is off; its presses are
    // ignored then, so that turning the setting on and off never asks the user again.
    bool apply(bool record);
    const QString& problem() const { return problem_; }
    // How long a portal step may go unanswered before the keys count as unavailable.
    void setPortalTimeout(std::chrono::milliseconds timeout);
    // The one-time note for the settings window when the keys cannot be registered.
    static QString unavailableNote();

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override;

  signals:
    void recordPressed();
    void searchPressed();
    void problemChanged();

  private:
    struct Key {
        unsigned keycode = 0;
        unsigned modifiers = 0;
        bool grabbed = false;
    };
    bool grab(Key& key, unsigned long keysym, unsigned modifiers);
    bool applyThroughPortal(bool record);
    void ungrab(Key& key);

    Key record_;
    Key search_;
    QString problem_;
    bool filtering_ = false;
    std::optional<QDBusConnection> portalBus_;
    ShortcutsPortal* portal_ = nullptr;
    std::chrono::milliseconds portalTimeout_;
    bool recordWanted_ = false;
};

}  // namespace sayloft::tray
