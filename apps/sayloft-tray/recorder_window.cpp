#include "recorder_window.hpp"

#include <QCloseEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QMoveEvent>
#include <QScreen>
#include <QSettings>
#include <QVBoxLayout>
#include <algorithm>

#include "tray_places.hpp"

namespace sayloft::tray {

QString formatElapsed(double seconds) {
    int s = seconds > 0 ? static_cast<int>(seconds) : 0;
    if (s >= 3600) return QString::asprintf("%d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
    return QString::asprintf("%02d:%02d", s / 60, s % 60);
}

QString recordingStateText(const std::string& state) {
    if (state == "starting") return "Starting…";
    if (state == "recording") return "Recording";
    if (state == "paused") return "Paused";
    if (state == "stopping" || state == "finishing") return "Finishing…";
    if (state == "failed") return "Stopped";
    return "Not recording";
}

QString echoLineText(const core::Json& status) {
    auto echo = QString::fromStdString(status.value("echo", std::string()));
    if (!echo.isEmpty()) return echo;
    if (status.value("outputKind", "") == "headphones") return "Headphones: no echo";
    return {};
}

RecorderWindow::RecorderWindow(EngineClient& engine, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint), engine_(engine) {
    setWindowTitle("sayloft Recorder");
    setAttribute(Qt::WA_ShowWithoutActivating);
    setObjectName("recorder");

    statusLine = new QLabel("Not recording");
    statusLine->setObjectName("status");
    QFont big = statusLine->font();
    big.setPointSizeF(big.pointSizeF() * 1.25);
    big.setBold(true);
    statusLine->setFont(big);

    auto meter = [](const QString& name) {
        auto* bar = new QProgressBar;
        bar->setObjectName(name);
        bar->setRange(0, 100);
        bar->setTextVisible(false);
        bar->setFixedHeight(10);
        return bar;
    };
    micMeter = meter("micMeter");
    systemMeter = meter("systemMeter");

    source = new QComboBox;
    source->setObjectName("source");
    source->addItem("All audio", "all");
    source->setMinimumContentsLength(18);
    refreshButton = new QToolButton;
    refreshButton->setText("↻");
    refreshButton->setToolTip("Refresh the list of apps playing audio");
    microphone = new QCheckBox("Microphone");
    microphone->setChecked(true);

    echoLine = new QLabel;
    echoLine->setObjectName("echo");
    echoLine->setWordWrap(true);
    messageLine = new QLabel;
    messageLine->setObjectName("message");
    messageLine->setWordWrap(true);

    recordButton = new QPushButton("Record");
    pauseButton = new QPushButton("Pause");
    stopButton = new QPushButton("Stop && send");
    discardButton = new QPushButton("Discard");
    hint = new QLabel("Start from anywhere with Ctrl+Alt+Super+R");
    hint->setObjectName("hint");
    QPalette muted = hint->palette();
    muted.setColor(QPalette::WindowText, muted.color(QPalette::Disabled, QPalette::WindowText));
    hint->setPalette(muted);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("Microphone"), 0, 0);
    grid->addWidget(micMeter, 0, 1);
    grid->addWidget(new QLabel("System"), 1, 0);
    grid->addWidget(systemMeter, 1, 1);
    auto* sourceRow = new QHBoxLayout;
    sourceRow->addWidget(new QLabel("Source"));
    sourceRow->addWidget(source, 1);
    sourceRow->addWidget(refreshButton);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(recordButton);
    buttons->addWidget(pauseButton);
    buttons->addWidget(stopButton);
    buttons->addWidget(discardButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(statusLine);
    layout->addLayout(grid);
    layout->addLayout(sourceRow);
    layout->addWidget(microphone);
    layout->addWidget(echoLine);
    layout->addLayout(buttons);
    layout->addWidget(messageLine);
    layout->addWidget(hint);

    confirmDiscard = [this](const QString& elapsed) {
        QMessageBox box(QMessageBox::Warning, "Discard this recording?", "Discard this recording?",
                        QMessageBox::NoButton, this);
        box.setInformativeText(elapsed + " of audio is deleted and not sent.");
        auto* yes = box.addButton("Discard", QMessageBox::DestructiveRole);
        box.addButton("Keep", QMessageBox::RejectRole);
        box.exec();
        return box.clickedButton() == yes;
    };

    connect(recordButton, &QPushButton::clicked, this, &RecorderWindow::record);
    connect(pauseButton, &QPushButton::clicked, this, &RecorderWindow::pauseOrResume);
    connect(stopButton, &QPushButton::clicked, this, &RecorderWindow::stopAndSend);
    connect(discardButton, &QPushButton::clicked, this, &RecorderWindow::discard);
    connect(refreshButton, &QToolButton::clicked, this, &RecorderWindow::refreshDevices);
    // Only the user's own changes (activated, clicked) reach a running recording, never the
    // window following the engine's status.
    connect(source, &QComboBox::activated, this, [this] { changeRunningRecording(); });
    connect(microphone, &QCheckBox::clicked, this, [this] { changeRunningRecording(); });

    QSettings place(windowStatePath(), QSettings::IniFormat);
    if (place.contains("recorder/pos")) {
        move(place.value("recorder/pos").toPoint());
    } else if (auto* screen = QGuiApplication::primaryScreen()) {
        auto area = screen->availableGeometry();
        move(area.right() - 320, area.top() + 20);
    }
    showStatus(status_);
}

void RecorderWindow::closeEvent(QCloseEvent* event) {
    hide();  // kept for the next recording
    event->ignore();
}

void RecorderWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (!isVisible()) return;
    QSettings place(windowStatePath(), QSettings::IniFormat);
    place.setValue("recorder/pos", pos());
}

void RecorderWindow::showStatus(const core::Json& status) {
    status_ = status.is_object() ? status : core::Json::object();
    const auto state = this->state();
    const bool active = state == "recording" || state == "paused";
    QString line = recordingStateText(state);
    if (active) line += "  " + formatElapsed(status_.value("elapsed", 0.0));
    statusLine->setText(line);
    auto level = [](double v) { return static_cast<int>(std::clamp(v, 0.0, 1.0) * 100 + 0.5); };
    micMeter->setValue(active ? level(status_.value("micLevel", 0.0)) : 0);
    systemMeter->setValue(active ? level(status_.value("systemLevel", 0.0)) : 0);

    QStringList warnings;
    if (status_.contains("warnings") && status_["warnings"].is_array())
        for (auto& w : status_["warnings"])
            if (w.is_string()) warnings << QString::fromStdString(w.get<std::string>());
    auto echo = echoLineText(status_);
    if (echo.isEmpty() && !warnings.isEmpty()) {
        echoLine->setStyleSheet("color: #d97706;");
        echoLine->setText(warnings.join('\n'));
    } else {
        echoLine->setStyleSheet({});
        echoLine->setText(echo);
    }
    if (state != "idle" && state != "failed" && !warnings.isEmpty()) lastWarnings_ = warnings;
    if (state == "starting") lastWarnings_.clear();
    if (state == "failed")
        messageLine->setText(QString::fromStdString(status_.value("message", std::string())));
    // Cut short by a failure and sent: say both, so the user knows the note is not the whole.
    if (state == "idle" && status_.value("stoppedOnFailure", false)) {
        auto result = QString::fromStdString(status_.value("lastResult", std::string()));
        auto why = lastWarnings_.join('\n');
        messageLine->setText(why.isEmpty() ? result : why + "\n" + result);
    }

    const bool idle = state == "idle" || state == "failed";
    recordButton->setEnabled(idle);
    pauseButton->setEnabled(active);
    pauseButton->setText(state == "paused" ? "Resume" : "Pause");
    stopButton->setEnabled(active);
    discardButton->setEnabled(active || state == "failed");
    // Source and microphone can change during a recording too (the engine starts a new segment).
    source->setEnabled(idle || active);
    microphone->setEnabled(idle || active);
    if (!idle) {
        if (auto s = status_.value("source", std::string()); !s.empty()) {
            int i = source->findData(QString::fromStdString(s));
            if (i >= 0) source->setCurrentIndex(i);
        }
    }
}

void RecorderWindow::showDevices(const core::Json& devices) {
    const QString keep = source->currentData().toString().isEmpty()
                             ? preferredSource_
                             : source->currentData().toString();
    source->clear();
    source->addItem("All audio", "all");
    if (devices.contains("apps") && devices["apps"].is_array()) {
        for (auto& app : devices["apps"]) {
            auto name = QString::fromStdString(app.value("name", app.value("id", std::string())));
            if (app.value("isPlaying", false)) name += " (playing)";
            source->addItem(name, QString::fromStdString(app.value("id", std::string())));
        }
    }
    int i = source->findData(keep);
    source->setCurrentIndex(i >= 0 ? i : 0);
}

void RecorderWindow::refreshDevices() {
    engine_.request(this, "devices", core::Json::object(), [this](const Reply& reply) {
        if (reply.ok()) showDevices(reply.done);
    });
}

void RecorderWindow::applyDefaults(const core::Json& settings) {
    microphone->setChecked(settings.value("recordingIncludeMicrophone", true));
    hint->setVisible(settings.value("recordingQuickKey", true));
    preferredSource_ = "all";
    if (settings.contains("recordingSource") && settings["recordingSource"].contains("app")) {
        auto& app = settings["recordingSource"]["app"];
        preferredSource_ = QString::fromStdString(app.value("bundleID", std::string()));
    }
    int i = source->findData(preferredSource_);
    if (i >= 0) source->setCurrentIndex(i);
}

core::Json RecorderWindow::startParams() const {
    auto chosen = source->currentData().toString();
    return {{"source", chosen.isEmpty() ? "all" : chosen.toStdString()},
            {"microphone", nullptr},
            {"noMic", !microphone->isChecked()}};
}

void RecorderWindow::showRequestResult(const Reply& reply) {
    if (!reply.ok()) messageLine->setText(reply.text());
}

void RecorderWindow::record() {
    messageLine->clear();
    engine_.request(this, "record.start", startParams(),
                    [this](const Reply& reply) { showRequestResult(reply); });
}

void RecorderWindow::changeRunningRecording() {
    if (state() != "recording" && state() != "paused") return;
    messageLine->clear();
    engine_.request(this, "record.change", startParams(),
                    [this](const Reply& reply) { showRequestResult(reply); });
}

void RecorderWindow::pauseOrResume() {
    engine_.request(this, state() == "paused" ? "record.resume" : "record.pause",
                    core::Json::object(), [this](const Reply& reply) { showRequestResult(reply); });
}

void RecorderWindow::stopAndSend() {
    messageLine->clear();
    engine_.request(
        this, "record.stop", core::Json::object(),
        [this](const Reply& reply) {
            if (!reply.ok()) return showRequestResult(reply);
            auto result = reply.done.value("result", std::string());
            messageLine->setText(result.empty() ? reply.out.value(reply.out.size() - 1)
                                                : QString::fromStdString(result));
        },
        [this](const QString& line, bool) { messageLine->setText(line); });
}

void RecorderWindow::discard() {
    if (state() != "failed" && confirmDiscard &&
        !confirmDiscard(formatElapsed(status_.value("elapsed", 0.0))))
        return;
    engine_.request(this, "record.discard", core::Json::object(),
                    [this](const Reply& reply) { showRequestResult(reply); });
}

}  // namespace sayloft::tray
