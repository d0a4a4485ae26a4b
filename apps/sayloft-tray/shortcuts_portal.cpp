#include "shortcuts_portal.hpp"

#include <QCoreApplication>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QPointer>

#include "core/log.hpp"

namespace sayloft::tray {

QDBusArgument& operator<<(QDBusArgument& out, const PortalShortcut& shortcut) {
    out.beginStructure();
    out << shortcut.id << shortcut.options;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, PortalShortcut& shortcut) {
    in.beginStructure();
    in >> shortcut.id >> shortcut.options;
    in.endStructure();
    return in;
}

namespace {

constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";

// Waits for the Response of one request object, then stops listening and goes away.
class PortalRequest : public QObject {
    Q_OBJECT
  public:
    PortalRequest(QDBusConnection bus, std::function<void(uint, const QVariantMap&)> answer,
                  QObject* parent)
        : QObject(parent), bus_(std::move(bus)), answer_(std::move(answer)) {}

    bool listen(const QString& path) {
        if (!path_.isEmpty()) unlisten();
        path_ = path;
        return bus_.connect(ShortcutsPortal::kService, path_, kRequestInterface, "Response", this,
                            SLOT(response(uint, QVariantMap)));
    }
    const QString& path() const { return path_; }

  public slots:
    void response(uint code, const QVariantMap& results) {
        unlisten();
        auto answer = std::move(answer_);
        deleteLater();
        if (answer) answer(code, results);
    }

  private:
    void unlisten() {
        bus_.disconnect(ShortcutsPortal::kService, path_, kRequestInterface, "Response", this,
                        SLOT(response(uint, QVariantMap)));
    }
    QDBusConnection bus_;
    std::function<void(uint, const QVariantMap&)> answer_;
    QString path_;
};

QString handleText(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();  // older portals answer the handle as a string
}

}  // namespace

ShortcutsPortal::ShortcutsPortal(QDBusConnection bus, QString appId, QList<Shortcut> shortcuts,
                                 QObject* parent)
    : QObject(parent),
      bus_(std::move(bus)),
      appId_(std::move(appId)),
      shortcuts_(std::move(shortcuts)) {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<PortalShortcuts>();
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { fail("the desktop portal did not answer"); });
    auto* watcher =
        new QDBusServiceWatcher(kService, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                portalOwnerChanged(oldOwner, newOwner);
            });
}

void ShortcutsPortal::portalOwnerChanged(const QString& oldOwner, const QString& newOwner) {
    if (state_ == State::idle) return;
    ++generation_;
    forgetSession();
    if (newOwner.isEmpty()) {
        fail("the desktop portal went away");
        return;
    }
    // A restarted portal knows nothing of our session: start again with it.
    core::log("tray", "the desktop portal {}; binding the keys again",
              oldOwner.isEmpty() ? "came up" : "was restarted");
    timer_.stop();
    state_ = State::idle;
    start();
}

// The signals of our session: key presses, changed triggers, and its end.
void ShortcutsPortal::followSession(bool follow) {
    struct Signal {
        QString path;
        const char* interface;
        const char* name;
        const char* slot;
    };
    const Signal ours[] = {
        {kPath, kInterface, "Activated",
         SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap))},
        {kPath, kInterface, "ShortcutsChanged",
         SLOT(onShortcutsChanged(QDBusObjectPath, QList<sayloft::tray::PortalShortcut>))},
        {session_, "org.freedesktop.portal.Session", "Closed", SLOT(onSessionClosed(QVariantMap))},
    };
    for (const auto& s : ours) {
        if (follow)
            bus_.connect(kService, s.path, s.interface, s.name, this, s.slot);
        else
            bus_.disconnect(kService, s.path, s.interface, s.name, this, s.slot);
    }
}

void ShortcutsPortal::forgetSession() {
    if (session_.isEmpty()) return;
    followSession(false);
    session_.clear();
    accepted_.clear();
}

void ShortcutsPortal::start() {
    if (state_ != State::idle) return;
    state_ = State::binding;
    if (!bus_.isConnected()) {
        fail("no session bus");
        return;
    }
    if (appId_.isEmpty())
        checkInterface();
    else
        registerApp();
}

void ShortcutsPortal::step() {
    timer_.start(timeout_);
}

void ShortcutsPortal::fail(const QString& why) {
    timer_.stop();
    if (state_ == State::failed) return;
    state_ = State::failed;
    core::log("tray", "keys through the desktop portal are unavailable: {}", why.toStdString());
    emit failed(why);
}

QString ShortcutsPortal::nextToken() {
    return QString("sayloft%1_%2").arg(QCoreApplication::applicationPid()).arg(++tokens_);
}

void ShortcutsPortal::call(const QDBusMessage& message,
                           std::function<void(const QDBusPendingCall&)> then) {
    step();
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation = generation_, then](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                if (generation == generation_) then(*w);
            });
}

// Programs outside a sandbox tell the portal who they are before any other call; portals that
// predate this do not know the interface, which is fine.
void ShortcutsPortal::registerApp() {
    auto message = QDBusMessage::createMethodCall(
        kService, kPath, "org.freedesktop.host.portal.Registry", "Register");
    message << appId_ << QVariantMap();
    call(message, [this](const QDBusPendingCall& answer) {
        const auto error = answer.error();
        if (error.type() == QDBusError::ServiceUnknown || error.type() == QDBusError::NoReply ||
            error.type() == QDBusError::Timeout || error.type() == QDBusError::Disconnected) {
            fail(error.message());
            return;
        }
        checkInterface();
    });
}

void ShortcutsPortal::checkInterface() {
    auto message =
        QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Properties", "Get");
    message << QString(kInterface) << QString("version");
    call(message, [this](const QDBusPendingCall& answer) {
        QDBusPendingReply<QDBusVariant> reply = answer;
        if (reply.isError()) {
            fail("the desktop portal offers no global shortcuts (" + reply.error().message() + ")");
            return;
        }
        core::log("tray", "desktop portal: global shortcuts version {}",
                  reply.value().variant().toUInt());
        createSession();
    });
}

void ShortcutsPortal::request(const QString& method, QList<QVariant> args, QVariantMap options,
                              Answer answer) {
    const QString token = nextToken();
    QString sender = bus_.baseService().mid(1);
    sender.replace('.', '_');
    const int generation = generation_;
    auto guarded = [this, generation, answer = std::move(answer)](uint response,
                                                                  const QVariantMap& results) {
        if (generation == generation_) answer(response, results);
    };
    auto* pending = new PortalRequest(bus_, std::move(guarded), this);
    // Listening starts before the call: the portal may answer before its reply arrives.
    pending->listen(QString(kPath) + "/request/" + sender + "/" + token);
    options.insert("handle_token", token);
    args << options;
    auto call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(args);
    step();
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    QPointer<PortalRequest> guard(pending);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, guard, method, generation](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                QDBusPendingReply<QDBusObjectPath> reply = *w;
                if (generation != generation_) {
                    if (guard) guard->deleteLater();
                    return;
                }
                if (reply.isError()) {
                    if (guard) guard->deleteLater();
                    fail(method + ": " + reply.error().message());
                    return;
                }
                // Portals before the predictable handle answer elsewhere: follow their path.
                if (guard && reply.value().path() != guard->path())
                    guard->listen(reply.value().path());
            });
}

void ShortcutsPortal::createSession() {
    request(
        "CreateSession", {}, {{"session_handle_token", nextToken()}},
        [this](uint response, const QVariantMap& results) {
            session_ = handleText(results.value("session_handle"));
            if (response != 0 || session_.isEmpty()) {
                fail(
                    QString("the desktop refused a shortcuts session (response %1)").arg(response));
                return;
            }
            followSession(true);
            bindShortcuts();
        });
}

void ShortcutsPortal::bindShortcuts() {
    PortalShortcuts list;
    for (const auto& s : shortcuts_)
        list << PortalShortcut{
            s.id, {{"description", s.description}, {"preferred_trigger", s.preferredTrigger}}};
    request("BindShortcuts",
            {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(list), QString()},
            {}, [this](uint response, const QVariantMap& results) {
                if (response != 0) {
                    fail(response == 1 ? QString("the keys were not accepted")
                                       : QString("the desktop could not bind the keys"));
                    return;
                }
                timer_.stop();
                accepted_.clear();
                for (const auto& s : qdbus_cast<PortalShortcuts>(results.value("shortcuts")))
                    accepted_ << s.id + ": " + s.options.value("trigger_description").toString();
                core::log("tray", "keys registered through the desktop portal: {}",
                          accepted_.join(", ").toStdString());
                state_ = State::bound;
                emit bound();
            });
}

void ShortcutsPortal::onActivated(const QDBusObjectPath& session, const QString& id, qulonglong,
                                  const QVariantMap&) {
    if (session.path() == session_ && state_ == State::bound) emit activated(id);
}

// The user gave the keys other triggers in the desktop's settings; they keep working.
void ShortcutsPortal::onShortcutsChanged(const QDBusObjectPath& session,
                                         const QList<sayloft::tray::PortalShortcut>& shortcuts) {
    if (session.path() != session_) return;
    accepted_.clear();
    for (const auto& s : shortcuts)
        accepted_ << s.id + ": " + s.options.value("trigger_description").toString();
    core::log("tray", "the desktop changed the keys: {}", accepted_.join(", ").toStdString());
}

// The desktop ended our session (its keys are gone with it).
void ShortcutsPortal::onSessionClosed(const QVariantMap&) {
    fail("the desktop closed the shortcuts session");
}

}  // namespace sayloft::tray

#include "shortcuts_portal.moc"
