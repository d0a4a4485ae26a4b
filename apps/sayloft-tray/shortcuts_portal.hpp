#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>
#include <chrono>
#include <functional>

namespace sayloft::tray {

// One entry of the portal's shortcut list, D-Bus type (sa{sv}): an id and its options
// (description, preferred_trigger; in answers also trigger_description).
struct PortalShortcut {
    QString id;
    QVariantMap options;
};
QDBusArgument& operator<<(QDBusArgument& out, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& in, PortalShortcut& shortcut);
using PortalShortcuts = QList<PortalShortcut>;

// Keys from anywhere through the desktop portal's GlobalShortcuts interface, for displays that
// offer no key grabs (Wayland). Every step is asynchronous: the desktop may ask the user before
// it binds anything, and the UI must not wait for that.
//
// start() checks that the portal offers the interface, creates a session, and binds the
// shortcuts; `bound` or `failed` follows (failed also when no step answers within the timeout).
// Activations of our session come as `activated(id)`.
class ShortcutsPortal : public QObject {
    Q_OBJECT
  public:
    static constexpr const char* kService = "org.freedesktop.portal.Desktop";
    static constexpr const char* kPath = "/org/freedesktop/portal/desktop";
    static constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";

    struct Shortcut {
        QString id;
        QString description;
        QString preferredTrigger;  // in the portal's notation, e.g. "CTRL+ALT+LOGO+r"
    };
    enum class State { idle, binding, bound, failed };

    // `appId` names the app to portals for programs outside a sandbox (the .desktop file's
    // name); empty leaves it to the portal.
    ShortcutsPortal(QDBusConnection bus, QString appId, QList<Shortcut> shortcuts,
                    QObject* parent = nullptr);

    void start();
    State state() const { return state_; }
    // How long one step may go unanswered before the portal counts as absent.
    void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
    // What the desktop accepted, "id: trigger" per shortcut (after `bound`).
    const QStringList& accepted() const { return accepted_; }

  signals:
    void bound();
    void failed(const QString& why);
    void activated(const QString& id);

  private slots:
    void onActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                     const QVariantMap& options);
    void onSessionClosed(const QVariantMap& details);
    // Spelled out: Qt DBus finds a slot's types by their full name.
    void onShortcutsChanged(const QDBusObjectPath& session,
                            const QList<sayloft::tray::PortalShortcut>& shortcuts);

  private:
    using Answer = std::function<void(uint response, const QVariantMap& results)>;
    // Calls `method` with a fresh handle_token in its options (the last argument), listening
    // for the Response on the request object before the call goes out.
    void request(const QString& method, QList<QVariant> args, QVariantMap options, Answer answer);
    // Calls without waiting; `then` gets the answer unless the portal changed meanwhile.
    void call(const QDBusMessage& message, std::function<void(const QDBusPendingCall&)> then);
    void registerApp();
    void checkInterface();
    void createSession();
    void bindShortcuts();
    void fail(const QString& why);
    void step();  // a step started: the timeout runs again
    // The portal's owner changed: a portal that left takes the keys, one that came binds anew.
    void portalOwnerChanged(const QString& oldOwner, const QString& newOwner);
    void followSession(bool follow);
    void forgetSession();
    QString nextToken();

    QDBusConnection bus_;
    QString appId_;
    QList<Shortcut> shortcuts_;
    State state_ = State::idle;
    QString session_;
    QStringList accepted_;
    QTimer timer_;
    std::chrono::milliseconds timeout_{std::chrono::seconds(30)};
    int tokens_ = 0;
    // Bumped when a portal goes or comes: answers to the requests of an older one are ignored.
    int generation_ = 0;
};

}  // namespace sayloft::tray

Q_DECLARE_METATYPE(sayloft::tray::PortalShortcut)
