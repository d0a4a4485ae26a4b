#pragma once

#include <QHash>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace sayloft::tray {

// The end of one request: the engine's "done" message with the lines it printed on the way.
struct Reply {
    int exitCode = 1;
    core::Json done = core::Json::object();
    QStringList out;
    QStringList err;
    bool lost = false;  // the engine went away (or never answered) before it finished

    bool ok() const { return !lost && exitCode == 0; }
    // What a window shows: the error lines when it failed, else the output lines.
    QString text() const;
};

// The tray's only way to the engine: JSON lines over the control socket. One connection holds
// the event subscription; every request gets a connection of its own, so a long one (pairing,
// sending pending captures) never holds up the others. When no engine answers, the daemon is
// started once, detached, and the subscription is tried again.
class EngineClient : public QObject {
    Q_OBJECT
  public:
    using Done = std::function<void(const Reply&)>;
    using Progress = std::function<void(const QString& line, bool isError)>;

    explicit EngineClient(QString socketPath, QObject* parent = nullptr);
    ~EngineClient() override;

    // The program that runs the daemon ({"/usr/bin/sayloft", "run"}); empty: never start one.
    void setDaemonCommand(std::vector<std::string> argv) { daemonCommand_ = std::move(argv); }
    // How long to wait before trying the subscription again after it failed or dropped.
    void setRetryInterval(int milliseconds) { retryMs_ = milliseconds; }

    // Connects the subscription (and keeps it connected).
    void start();
    bool isConnected() const { return subscribed_; }
    const QString& socketPath() const { return socketPath_; }
    bool startedDaemon() const { return startedDaemon_; }
    // Requests sent and not yet finished.
    int openRequests() const { return static_cast<int>(open_.size()); }

    // Sends one request on behalf of `context`; returns its number, for cancel(). `done` runs
    // exactly once, and neither callback runs once `context` is gone (the request is dropped).
    int request(QObject* context, const QString& method,
                const core::Json& params = core::Json::object(), Done done = {},
                Progress progress = {});
    // Drops the request's connection, which stops it in the engine.
    void cancel(int requestId);

    // A longer line without a line break ends the connection.
    static constexpr qsizetype kMaxLineBytes = 16 << 20;

  signals:
    void connectedChanged(bool connected);
    // One message of the subscription stream: {"event": "capture"|"recording"|"vault"|...}.
    void engineEvent(const core::Json& event);

  private:
    void connectSubscription();
    void subscriptionLost();
    void readSubscription();
    void startDaemon();

    QString socketPath_;
    std::vector<std::string> daemonCommand_;
    int retryMs_ = 1500;
    QPointer<QLocalSocket> subscription_;
    QByteArray subscriptionBuffer_;
    QTimer retryTimer_;
    bool subscribed_ = false;
    bool startedDaemon_ = false;
    int nextId_ = 1;
    QHash<int, QPointer<QLocalSocket>> open_;
};

// Splits complete lines off the front of `buffer` and parses each as a JSON object (lines that
// are not one are skipped).
std::vector<core::Json> takeJsonLines(QByteArray& buffer);

}  // namespace sayloft::tray
