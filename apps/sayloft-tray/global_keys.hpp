#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QString>

namespace sayloft::tray {

// The two keys that work from anywhere: quick record (Ctrl+Alt+Super+R) and search
// (Shift+Super+V). On X11 they are grabbed on the root window; elsewhere `unavailableNote()`
// says how to bind the commands in the desktop's own keyboard settings.
class GlobalKeys : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
  public:
    explicit GlobalKeys(QObject* parent = nullptr);
    ~GlobalKeys() override;

    // Grabs the search key and, when `record` is on, the quick-record key. False when this
    // display offers no grabs (not X11) or another program holds a key; see problem().
    bool apply(bool record);
    const QString& problem() const { return problem_; }
    // The one-time note for the settings window when the keys cannot be registered.
    static QString unavailableNote();

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override;

  signals:
    void recordPressed();
    void searchPressed();

  private:
    struct Key {
        unsigned keycode = 0;
        unsigned modifiers = 0;
        bool grabbed = false;
    };
    bool grab(Key& key, unsigned long keysym, unsigned modifiers);
    void ungrab(Key& key);

    Key record_;
    Key search_;
    QString problem_;
    bool filtering_ = false;
};

}  // namespace sayloft::tray
