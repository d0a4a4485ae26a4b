#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QToolButton>
#include <QWidget>
#include <functional>

#include "core/json.hpp"
#include "engine_client.hpp"

namespace sayloft::tray {

// "59:59" below an hour, "1:00:00" from an hour on.
QString formatElapsed(double seconds);
// The recording status as the window's first line: "Recording", "Paused", "Not recording"...
QString recordingStateText(const std::string& state);
// The echo line of a recording status.
QString echoLineText(const core::Json& status);

// The floating recorder: state, elapsed time, the two level meters, source and microphone, the
// echo line and the buttons. Everything it shows comes from the engine's recording events;
// every button is a request.
class RecorderWindow : public QWidget {
    Q_OBJECT
  public:
    explicit RecorderWindow(EngineClient& engine, QWidget* parent = nullptr);

    // A record.status answer or a "recording" event.
    void showStatus(const core::Json& status);
    // The `devices` answer: apps playing audio and microphones.
    void showDevices(const core::Json& devices);
    void refreshDevices();
    // The defaults from the settings (source, microphone on or off).
    void applyDefaults(const core::Json& settings);
    const core::Json& status() const { return status_; }
    std::string state() const { return status_.value("state", "idle"); }

    // Asks before discarding; replaced by tests. Receives the elapsed time text.
    std::function<bool(const QString& elapsed)> confirmDiscard;

    QLabel* statusLine;
    QLabel* echoLine;
    QLabel* messageLine;
    QLabel* hint;
    QProgressBar* micMeter;
    QProgressBar* systemMeter;
    QComboBox* source;
    QToolButton* refreshButton;
    QCheckBox* microphone;
    QPushButton* recordButton;
    QPushButton* pauseButton;
    QPushButton* stopButton;
    QPushButton* discardButton;

    // The options of a new recording as record.start takes them.
    core::Json startParams() const;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

  private:
    void record();
    void changeRunningRecording();
    void pauseOrResume();
    void stopAndSend();
    void discard();
    void showRequestResult(const Reply& reply);

    EngineClient& engine_;
    core::Json status_ = core::Json::object();
    // The warnings of the recording under way: when a failure stops it, they say why.
    QStringList lastWarnings_;
    QString preferredSource_ = "all";
};

}  // namespace sayloft::tray
