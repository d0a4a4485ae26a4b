#include "engine_client.hpp"

#include "core/log.hpp"
#include "core/process.hpp"

namespace sayloft::tray {

QString Reply::text() const {
    if (lost) return err.isEmpty() ? QStringLiteral("sayloft is not running.") : err.join('\n');
    if (exitCode != 0 && !err.isEmpty()) return err.join('\n');
    return out.join('\n');
}

std::vector<core::Json> takeJsonLines(QByteArray& buffer) {
    std::vector<core::Json> messages;
    qsizetype start = 0;
    for (qsizetype end = buffer.indexOf('\n'); end >= 0; end = buffer.indexOf('\n', start)) {
        auto line = buffer.mid(start, end - start);
        start = end + 1;
        auto message = core::Json::parse(line.toStdString(), nullptr, false);
        if (message.is_object()) messages.push_back(std::move(message));
    }
    buffer.remove(0, start);
    return messages;
}

EngineClient::EngineClient(QString socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)) {
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, &EngineClient::connectSubscription);
}

EngineClient::~EngineClient() {
    if (subscription_) subscription_->abort();
}

void EngineClient::start() {
    connectSubscription();
}

void EngineClient::connectSubscription() {
    if (subscription_) subscription_->deleteLater();
    subscriptionBuffer_.clear();
    auto* socket = new QLocalSocket(this);
    subscription_ = socket;
    connect(socket, &QLocalSocket::connected, this, [this, socket] {
        core::Json hello = {{"id", 0}, {"method", "subscribe"}};
        socket->write(QByteArray::fromStdString(hello.dump() + "\n"));
    });
    connect(socket, &QLocalSocket::readyRead, this, &EngineClient::readSubscription);
    connect(socket, &QLocalSocket::errorOccurred, this,
            [this, socket](QLocalSocket::LocalSocketError) {
                if (socket == subscription_) subscriptionLost();
            });
    connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
        if (socket == subscription_) subscriptionLost();
    });
    socket->connectToServer(socketPath_);
}

void EngineClient::readSubscription() {
    if (!subscription_) return;
    subscriptionBuffer_.append(subscription_->readAll());
    if (subscriptionBuffer_.size() > kMaxLineBytes && !subscriptionBuffer_.contains('\n')) {
        core::log("tray", "the engine sent a line longer than {} bytes; reconnecting",
                  kMaxLineBytes);
        subscription_->abort();
        return;
    }
    for (auto& message : takeJsonLines(subscriptionBuffer_)) {
        if (message.value("subscribed", false)) {
            if (!subscribed_) {
                subscribed_ = true;
                emit connectedChanged(true);
            }
        } else if (message.contains("event") && message["event"].is_object()) {
            try {
                emit engineEvent(message["event"]);
            } catch (const std::exception& e) {
                core::log("tray", "ignored an event the tray cannot read: {}", e.what());
            }
        }
    }
}

void EngineClient::subscriptionLost() {
    if (subscribed_) {
        subscribed_ = false;
        emit connectedChanged(false);
    }
    if (!startedDaemon_ && !daemonCommand_.empty()) startDaemon();
    if (!retryTimer_.isActive()) retryTimer_.start(retryMs_);
}

void EngineClient::startDaemon() {
    startedDaemon_ = true;
    core::ProcessOptions options;
    options.argv = daemonCommand_;
    options.stdoutTo = core::ProcessOutput::discarded();
    options.stderrTo = core::ProcessOutput::discarded();
    options.newSession = true;  // the daemon outlives the tray
    options.waitAtMost = std::chrono::milliseconds(0);
    try {
        core::runProcess(options);
        core::log("tray", "no engine answered; started {}", daemonCommand_.front());
    } catch (const std::exception& e) {
        core::log("tray", "could not start the engine: {}", e.what());
    }
}

void EngineClient::cancel(int requestId) {
    if (auto socket = open_.value(requestId)) {
        socket->disconnectFromServer();
        socket->abort();
    }
}

int EngineClient::request(QObject* context, const QString& method, const core::Json& params,
                          Done done, Progress progress) {
    struct State {
        QByteArray buffer;
        Reply reply;
        bool finished = false;
        bool dropped = false;  // the requester went away
    };
    auto state = std::make_shared<State>();
    const int id = nextId_++;
    auto* socket = new QLocalSocket(this);
    open_.insert(id, socket);
    auto finish = [this, id, socket, state, done](bool lost) {
        if (state->finished) return;
        state->finished = true;
        open_.remove(id);
        state->reply.lost = lost;
        socket->disconnect();
        socket->abort();
        socket->deleteLater();
        if (!done || state->dropped) return;
        try {
            done(state->reply);
        } catch (const std::exception& e) {
            core::log("tray", "ignored an answer the tray cannot read: {}", e.what());
        }
    };
    connect(socket, &QLocalSocket::connected, this, [socket, id, method, params] {
        core::Json message = {{"id", id}, {"method", method.toStdString()}, {"params", params}};
        socket->write(QByteArray::fromStdString(message.dump() + "\n"));
    });
    // The requester went away: its request ends, and nothing of it is called.
    // Marked first: ending the connection reports its end at once, while the requester is
    // already half destroyed.
    if (context)
        connect(context, &QObject::destroyed, socket, [this, id, state] {
            state->dropped = true;
            cancel(id);
        });
    connect(socket, &QLocalSocket::readyRead, this, [socket, state, finish, progress] {
        if (state->dropped) return;
        state->buffer.append(socket->readAll());
        if (state->buffer.size() > kMaxLineBytes && !state->buffer.contains('\n')) {
            state->reply.err << "The engine's answer was too long.";
            finish(true);
            return;
        }
        for (auto& message : takeJsonLines(state->buffer)) {
            if (message.contains("out") && message["out"].is_string()) {
                auto line = QString::fromStdString(message["out"].get<std::string>());
                state->reply.out << line;
                if (progress) progress(line, false);
            } else if (message.contains("err") && message["err"].is_string()) {
                auto line = QString::fromStdString(message["err"].get<std::string>());
                state->reply.err << line;
                if (progress) progress(line, true);
            } else if (message.contains("error") && message["error"].is_string()) {
                state->reply.err << QString::fromStdString(message["error"].get<std::string>());
                state->reply.exitCode = 1;
                finish(false);
                return;
            } else if (message.value("done", false)) {
                state->reply.exitCode = message.value("exitCode", 1);
                if (message.contains("ok") && message["ok"].is_boolean() &&
                    !message.contains("exitCode"))
                    state->reply.exitCode = message["ok"].get<bool>() ? 0 : 1;
                state->reply.done = message;
                finish(false);
                return;
            }
        }
    });
    connect(socket, &QLocalSocket::errorOccurred, this,
            [finish](QLocalSocket::LocalSocketError) { finish(true); });
    connect(socket, &QLocalSocket::disconnected, this, [finish] { finish(true); });
    socket->connectToServer(socketPath_);
    return id;
}

}  // namespace sayloft::tray
