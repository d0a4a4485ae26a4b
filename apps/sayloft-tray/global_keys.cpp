#include "global_keys.hpp"

// Qt first: Xlib's macros (None, Bool, KeyPress...) would break Qt's headers.
#include <QtGui/qguiapplication_platform.h>
#include <QGuiApplication>

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

#include "core/log.hpp"
#include "shortcuts_portal.hpp"

namespace sayloft::tray {

namespace {

Display* x11Display() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

bool grabFailed = false;
int noteGrabError(Display*, XErrorEvent* event) {
    if (event->error_code == BadAccess) grabFailed = true;
    return 0;
}

// Caps Lock and Num Lock must not stop a key from working: each is grabbed with every
// combination of the two.
constexpr unsigned kLockVariants[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};
constexpr unsigned kRelevant = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

}  // namespace

GlobalKeys::GlobalKeys(QObject* parent, std::optional<QDBusConnection> portalBus)
    : QObject(parent), portalBus_(std::move(portalBus)), portalTimeout_(std::chrono::seconds(30)) {}

GlobalKeys::~GlobalKeys() {
    ungrab(record_);
    ungrab(search_);
    if (filtering_ && qGuiApp) qGuiApp->removeNativeEventFilter(this);
}

QString GlobalKeys::unavailableNote() {
    return "This desktop does not let sayloft register keys of its own. To record or search "
           "from anywhere, bind the commands `sayloft record` and `sayloft-tray --search` "
           "to keys in the desktop's keyboard settings.";
}

bool GlobalKeys::grab(Key& key, unsigned long keysym, unsigned modifiers) {
    Display* display = x11Display();
    if (!display) return false;
    key.keycode = XKeysymToKeycode(display, keysym);
    key.modifiers = modifiers;
    if (key.keycode == 0) return false;
    grabFailed = false;
    auto previous = XSetErrorHandler(noteGrabError);
    for (unsigned lock : kLockVariants)
        XGrabKey(display, static_cast<int>(key.keycode), modifiers | lock,
                 DefaultRootWindow(display), True, GrabModeAsync, GrabModeAsync);
    XSync(display, False);
    XSetErrorHandler(previous);
    key.grabbed = !grabFailed;
    if (!key.grabbed) ungrab(key);
    return !grabFailed;
}

void GlobalKeys::ungrab(Key& key) {
    Display* display = x11Display();
    if (!display || key.keycode == 0) return;
    for (unsigned lock : kLockVariants)
        XUngrabKey(display, static_cast<int>(key.keycode), key.modifiers | lock,
                   DefaultRootWindow(display));
    XSync(display, False);
    key.grabbed = false;
}

bool GlobalKeys::apply(bool record) {
    problem_.clear();
    if (!x11Display()) return applyThroughPortal(record);
    if (!filtering_) {
        qGuiApp->installNativeEventFilter(this);
        filtering_ = true;
    }
    if (!search_.grabbed && !grab(search_, XK_v, ShiftMask | Mod4Mask)) {
        core::log("tray", "could not register the search key; another program may use it");
        problem_ = "Shift+Super+V is taken by another program.";
    }
    ungrab(record_);
    if (record && !grab(record_, XK_r, ControlMask | Mod1Mask | Mod4Mask)) {
        core::log("recorder", "could not register the quick-record key; another app may use it");
        problem_ = "Ctrl+Alt+Super+R is taken by another program.";
    }
    if (problem_.isEmpty())
        core::log("tray", "keys registered: {}Shift+Super+V", record ? "Ctrl+Alt+Super+R, " : "");
    return problem_.isEmpty();
}

void GlobalKeys::setPortalTimeout(std::chrono::milliseconds timeout) {
    portalTimeout_ = timeout;
    if (portal_) portal_->setTimeout(timeout);
}

bool GlobalKeys::applyThroughPortal(bool record) {
    recordWanted_ = record;
    if (!portal_) {
        const auto bus = portalBus_ ? *portalBus_ : QDBusConnection::sessionBus();
        portal_ = new ShortcutsPortal(
            bus, QGuiApplication::desktopFileName(),
            {{"quick-record", "Start a recording, or show the recorder", "CTRL+ALT+LOGO+r"},
             {"search", "Open or close Search Vault", "SHIFT+LOGO+v"}},
            this);
        portal_->setTimeout(portalTimeout_);
        connect(portal_, &ShortcutsPortal::activated, this, [this](const QString& id) {
            if (id == "quick-record" && recordWanted_) emit recordPressed();
            if (id == "search") emit searchPressed();
        });
        connect(portal_, &ShortcutsPortal::failed, this, [this] {
            problem_ = unavailableNote();
            emit problemChanged();
        });
        connect(portal_, &ShortcutsPortal::bound, this, [this] {
            if (problem_.isEmpty()) return;
            problem_.clear();
            emit problemChanged();
        });
        portal_->start();
    }
    problem_ = portal_->state() == ShortcutsPortal::State::failed ? unavailableNote() : QString();
    return problem_.isEmpty();
}

bool GlobalKeys::nativeEventFilter(const QByteArray& type, void* message, qintptr*) {
    if (type != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if ((event->response_type & ~0x80) != XCB_KEY_PRESS) return false;
    auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
    const unsigned state = press->state & kRelevant;
    if (record_.grabbed && press->detail == record_.keycode && state == record_.modifiers) {
        emit recordPressed();
        return true;
    }
    if (search_.grabbed && press->detail == search_.keycode && state == search_.modifiers) {
        emit searchPressed();
        return true;
    }
    return false;
}

}  // namespace sayloft::tray
