#include "tray_app.hpp"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "core/log.hpp"

#include "global_keys.hpp"
#include "recorder_window.hpp"
#include "search_window.hpp"
#include "settings_window.hpp"
#include "tray_places.hpp"
#include "welcome_window.hpp"

namespace sayloft::tray {

bool trayHostAvailable(const QDBusConnection& bus) {
    if (!bus.isConnected() || !bus.interface()) return false;
    return bus.interface()->isServiceRegistered("org.kde.StatusNotifierWatcher").value();
}

namespace {

// The tray glyph: three sound bars in the accent colour with today's count in a badge; while
// recording, a red dot.
QIcon drawIcon(bool recording, int todayCount) {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    if (recording) {
        p.setBrush(QColor(230, 45, 45));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(6, 6, 52, 52));
    } else {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(142, 60, 196));
        const int heights[] = {22, 44, 30};
        for (int i = 0; i < 3; ++i)
            p.drawRoundedRect(QRectF(10 + i * 16, 32 - heights[i] / 2.0, 11, heights[i]), 5, 5);
        if (todayCount > 0) {
            QRectF badge(30, 30, 34, 34);
            p.setBrush(QColor(40, 40, 40));
            p.drawEllipse(badge);
            QFont font = p.font();
            font.setPixelSize(todayCount > 99 ? 14 : 22);
            font.setBold(true);
            p.setFont(font);
            p.setPen(Qt::white);
            p.drawText(badge, Qt::AlignCenter,
                       todayCount > 99 ? "99+" : QString::number(todayCount));
        }
    }
    return QIcon(pixmap);
}

std::vector<std::string> filesOf(const core::Json& item) {
    std::vector<std::string> paths;
    for (auto& f : item.value("files", core::Json::array()))
        if (f.is_string())
            paths.push_back(
                pathFromFileUrl(QString::fromStdString(f.get<std::string>())).toStdString());
    return paths;
}

// Keeps the fields of `from` whose values have the expected kind; the rest are dropped, so a
// malformed message from the engine is shown as far as it makes sense.
core::Json typed(const core::Json& from,
                 const std::vector<std::pair<const char*, core::Json::value_t>>& fields) {
    core::Json out = core::Json::object();
    if (!from.is_object()) return out;
    for (auto& [key, kind] : fields) {
        if (!from.contains(key)) continue;
        auto& v = from[key];
        const bool number = kind == core::Json::value_t::number_float && v.is_number();
        if (v.type() == kind || number) out[key] = v;
    }
    return out;
}

core::Json cleanStatus(const core::Json& status) {
    using T = core::Json::value_t;
    auto out = typed(status, {{"state", T::string},
                              {"elapsed", T::number_float},
                              {"micLevel", T::number_float},
                              {"systemLevel", T::number_float},
                              {"source", T::string},
                              {"echo", T::string},
                              {"outputKind", T::string},
                              {"message", T::string},
                              {"lastResult", T::string},
                              {"stoppedOnFailure", T::boolean},
                              {"id", T::string}});
    core::Json warnings = core::Json::array();
    if (status.is_object() && status.contains("warnings") && status["warnings"].is_array())
        for (auto& w : status["warnings"])
            if (w.is_string()) warnings.push_back(w);
    out["warnings"] = warnings;
    if (!out.contains("state")) out["state"] = "idle";
    return out;
}

core::Json cleanMenu(const core::Json& items) {
    using T = core::Json::value_t;
    core::Json out = core::Json::array();
    if (!items.is_array()) return out;
    for (auto& item : items) {
        auto clean = typed(item, {{"kind", T::string},
                                  {"title", T::string},
                                  {"action", T::string},
                                  {"subject", T::string},
                                  {"shortcut", T::string}});
        if (clean.empty()) continue;
        core::Json files = core::Json::array();
        if (item.contains("files") && item["files"].is_array())
            for (auto& f : item["files"])
                if (f.is_string()) files.push_back(f);
        clean["files"] = files;
        if (item.contains("items")) clean["items"] = cleanMenu(item["items"]);
        out.push_back(clean);
    }
    return out;
}

}  // namespace

TrayApp::TrayApp(EngineClient& engine, browser::FileActions& actions, Options options)
    : engine_(engine), actions_(actions), options_(options), menu_(std::make_unique<QMenu>()) {
    menu_->setObjectName("trayMenu");
    confirm = [](const QString& title, const QString& detail) {
        QMessageBox box(QMessageBox::Warning, title, title);
        box.setInformativeText(detail);
        auto* yes = box.addButton("Discard", QMessageBox::DestructiveRole);
        box.addButton("Keep", QMessageBox::RejectRole);
        box.exec();
        return box.clickedButton() == yes;
    };
    connect(&engine_, &EngineClient::engineEvent, this, &TrayApp::onEvent);
    connect(&engine_, &EngineClient::connectedChanged, this, [this](bool connected) {
        if (connected) refresh();
        rebuildMenu();
        updateIcon();
    });
    if (options_.surface == Options::Surface::trayIcon) {
        icon_ = new QSystemTrayIcon(this);
        icon_->setContextMenu(menu_.get());
        connect(icon_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason why) {
                    if (why == QSystemTrayIcon::Trigger) menu_->popup(QCursor::pos());
                });
        icon_->show();
    } else if (options_.surface == Options::Surface::window) {
        auto* window = new QWidget(nullptr, Qt::Window);
        window->setObjectName("fallback");
        window->setWindowTitle("sayloft");
        auto* layout = new QVBoxLayout(window);
        auto* line = new QLabel("sayloft runs here because this desktop shows no tray icons.");
        line->setWordWrap(true);
        auto* open = new QPushButton("sayloft menu");
        open->setMenu(menu_.get());
        layout->addWidget(line);
        layout->addWidget(open);
        window->resize(300, 100);
        fallback_ = window;
        window->show();
    }
    if (options_.globalKeys) {
        keys_ = new GlobalKeys(this, options_.portalBus);
        keys_->setPortalTimeout(options_.portalTimeout);
        connect(keys_, &GlobalKeys::problemChanged, this, [this] {
            keysNote_ = keys_->problem();
            if (settings_) settings_->setKeysNote(keysNote_);
        });
        connect(keys_, &GlobalKeys::recordPressed, this, [this] {
            core::log("recorder", "start from the quick-record key");
            quickRecord();
        });
        connect(keys_, &GlobalKeys::searchPressed, this, &TrayApp::toggleSearch);
    }
    rebuildMenu();
    updateIcon();
}

TrayApp::~TrayApp() {
    delete fallback_;
    delete recorder_;
    delete search_;
    delete settings_;
    delete welcome_;
}

void TrayApp::start() {
    engine_.start();
}

void TrayApp::fetch(const QString& method, std::function<void(const Reply&)> use) {
    ++pending_;
    engine_.request(this, method, core::Json::object(), [this, method, use](const Reply& reply) {
        try {
            use(reply);
        } catch (const std::exception& e) {
            core::log("tray", "could not read the engine's answer to {}: {}", method.toStdString(),
                      e.what());
        }
        if (--pending_ == 0) {
            rebuildMenu();
            updateIcon();
            emit loaded();
        }
    });
}

void TrayApp::refresh() {
    fetch("menu", [this](const Reply& reply) {
        menuProblem_.clear();
        for (const char* key : {"menu", "items", "result"}) {
            if (reply.ok() && reply.done.contains(key) && reply.done[key].is_array()) {
                menuItems_ = cleanMenu(reply.done[key]);
                return;
            }
        }
        menuItems_ = core::Json::array();
        menuProblem_ = reply.ok() ? QString() : reply.text();
    });
    fetch("record.status", [this](const Reply& reply) {
        if (reply.ok()) followRecording(reply.done);
    });
    fetch("recordings", [this](const Reply& reply) {
        unfinished_ = core::Json::array();
        if (!reply.ok()) return;
        for (auto& r : reply.done.value("recordings", core::Json::array()))
            if (r.is_object() && r.value("id", "") != "") unfinished_.push_back(r);
    });
    fetch("settings.get", [this](const Reply& reply) {
        if (!reply.ok()) return;
        settingsAnswer_ = reply.done;
        const bool quickKey = settingsAnswer_.value("settings", core::Json::object())
                                  .value("recordingQuickKey", true);
        if (keys_ && quickKeyApplied_ != quickKey) {
            quickKeyApplied_ = quickKey;
            keys_->apply(quickKey);
            keysNote_ = keys_->problem();
            if (settings_) settings_->setKeysNote(keysNote_);
        }
        if (recorder_)
            recorder_->applyDefaults(settingsAnswer_.value("settings", core::Json::object()));
        if (!welcomeChecked_ && options_.openWelcomeOnFirstRun) {
            welcomeChecked_ = true;
            if (!reply.done.value("settingsFileExists", true)) showWelcome();
        }
    });
}

void TrayApp::onEvent(const core::Json& event) {
    const auto kind = event.value("event", std::string());
    if (kind == "recording") {
        followRecording(event);
        return;
    }
    if (kind == "vault" || kind == "capture" || kind == "status" || kind == "settings" ||
        kind == "paired" || kind == "unpaired")
        refresh();
    if ((kind == "settings" || kind == "paired" || kind == "unpaired") && settings_ &&
        settings_->isVisible() && kind != "settings")
        settings_->reload();
}

void TrayApp::followRecording(const core::Json& status) {
    const auto before = recordingState();
    recording_ = cleanStatus(status);
    const auto now = recordingState();
    if (recorder_) recorder_->showStatus(recording_);
    if (now == "idle" && before != "idle") {
        // A failure that ended it keeps the window up to say so; otherwise it goes.
        if (recording_.value("stoppedOnFailure", false))
            showRecorder();
        else if (recorder_)
            recorder_->hide();
    } else if (now == "starting" && (before == "idle" || before == "failed")) {
        auto s = settingsAnswer_.value("settings", core::Json::object());
        if (s.value("recordingShowWindow", true)) showRecorder();
    }
    if (now != before) {
        if (now == "idle") refresh();  // a finished recording may be a new file or a recovery
        rebuildMenu();
    } else if (menu_->isVisible() || (fallback_ && fallback_->isVisible())) {
        // Only the elapsed time changed: retitle the first row instead of rebuilding.
        if (!menu_->actions().isEmpty() && (now == "recording" || now == "paused"))
            menu_->actions().first()->setText(recordingStateText(now) + "  " +
                                              formatElapsed(recording_.value("elapsed", 0.0)));
    }
    updateIcon();
}

QString TrayApp::trayToolTip() const {
    const auto state = recordingState();
    if (state == "recording" || state == "paused")
        return "sayloft — " + recordingStateText(state) + " " +
               formatElapsed(recording_.value("elapsed", 0.0));
    if (!engine_.isConnected()) return "sayloft — not connected";
    return QString("sayloft — %1 today").arg(todayCount_);
}

void TrayApp::updateIcon() {
    const auto state = recordingState();
    const bool active = state == "recording" || state == "paused";
    // Levels arrive ten times a second; the tray host hears only of real changes.
    const int look = active ? -1 : todayCount_;
    if (look != iconLook_) {
        iconLook_ = look;
        auto icon = drawIcon(active, todayCount_);
        if (icon_) icon_->setIcon(icon);
        if (fallback_) fallback_->setWindowIcon(icon);
    }
    const auto tip = trayToolTip();
    if (icon_ && icon_->toolTip() != tip) icon_->setToolTip(tip);
    if (fallback_) {
        const auto title = active ? tip : QString("sayloft");
        if (fallback_->windowTitle() != title) fallback_->setWindowTitle(title);
    }
}

void TrayApp::rebuildMenu() {
    menu_->clear();
    addRecorderRows(menu_.get());
    menu_->addSeparator();
    if (!engine_.isConnected()) {
        menu_->addAction(engine_.startedDaemon() ? "Starting sayloft…" : "Not connected to sayloft")
            ->setEnabled(false);
    }
    todayCount_ = 0;
    bool engineHasAppRows = false;
    for (auto& item : menuItems_)
        if (item.is_object() && item.value("action", std::string()) == "quit")
            engineHasAppRows = true;
    if (!menuItems_.empty()) addEngineItems(menu_.get(), menuItems_);
    if (!engineHasAppRows) {
        // The engine lists the vault; the rows that belong to this app follow, and stand alone
        // while the engine's rows are not here (yet), so that the menu is never stuck.
        if (!menuItems_.empty()) menu_->addSeparator();
        menu_->addAction("Search Vault...", this, &TrayApp::toggleSearch);
        menu_->addAction("Refresh", this, &TrayApp::refresh);
        menu_->addAction("Settings...", this, [this] { showSettings(); });
        menu_->addAction("Welcome && guide...", this, &TrayApp::showWelcome);
        menu_->addAction("Quit", qApp, &QApplication::quit);
    }
    emit menuRebuilt();
}

void TrayApp::addRecorderRows(QMenu* into) {
    const auto state = recordingState();
    const auto elapsed = formatElapsed(recording_.value("elapsed", 0.0));
    if (state == "idle") {
        into->addAction("Record", this, [this] {
            engine_.request(this, "record.start", recorderWindow().startParams());
        });
        into->addAction("Recorder…", this, &TrayApp::showRecorder);
    } else if (state == "starting") {
        into->addAction("Starting recording…")->setEnabled(false);
    } else if (state == "stopping" || state == "finishing") {
        into->addAction("Finishing recording…")->setEnabled(false);
    } else if (state == "recording" || state == "paused") {
        into->addAction(recordingStateText(state) + "  " + elapsed, this, &TrayApp::showRecorder);
        into->addAction(state == "paused" ? "Resume" : "Pause", this, [this, state] {
            engine_.request(this, state == "paused" ? "record.resume" : "record.pause");
        });
        into->addAction("Stop && send", this, [this] { engine_.request(this, "record.stop"); });
        into->addAction("Discard", this, [this] {
            if (!confirm("Discard this recording?",
                         formatElapsed(recording_.value("elapsed", 0.0)) +
                             " of audio is deleted and not sent."))
                return;
            engine_.request(this, "record.discard");
        });
    } else if (state == "failed") {
        into->addAction(QString::fromStdString(
                            recording_.value("message", std::string("Recording failed"))))
            ->setEnabled(false);
        into->addAction("Dismiss", this, [this] { engine_.request(this, "record.discard"); });
    }
    for (auto& w : recording_.value("warnings", core::Json::array()))
        if (w.is_string())
            into->addAction(QString::fromStdString(w.get<std::string>()))->setEnabled(false);

    for (auto& recording : unfinished_) {
        const auto id = QString::fromStdString(recording.value("id", ""));
        if (sendingRecovery_.contains(id)) {
            into->addAction("Sending recording " + id + "…")->setEnabled(false);
            continue;
        }
        const bool silent = recording.value("silent", false);
        auto* sub = into->addMenu((silent ? "Silent recording " : "Unfinished recording ") + id);
        if (!silent) {
            sub->addAction("Send what was recorded", this, [this, id] {
                sendingRecovery_ << id;
                rebuildMenu();
                engine_.request(this, "recordings.send", {{"id", id.toStdString()}},
                                [this, id](const Reply&) {
                                    sendingRecovery_.removeAll(id);
                                    refresh();
                                });
            });
        }
        sub->addAction("Discard", this, [this, id, silent] {
            QString title =
                (silent ? "Discard silent recording " : "Discard unfinished recording ") + id + "?";
            QString detail =
                silent ? "No audio reached sayloft during this recording, so it holds only "
                         "silence. It is deleted and not sent."
                       : "The audio recorded before sayloft stopped is deleted and not "
                         "sent. This cannot be undone.";
            if (!confirm(title, detail)) return;
            engine_.request(this, "recordings.discard", {{"id", id.toStdString()}},
                            [this](const Reply&) { refresh(); });
        });
    }
}

void TrayApp::addEngineItems(QMenu* into, const core::Json& items) {
    static const QRegularExpression today(R"(^Today \((\d+)\)$)");
    for (auto& item : items) {
        const auto kind = item.value("kind", std::string("line"));
        const auto title = QString::fromStdString(item.value("title", std::string()));
        if (kind == "divider") {
            into->addSeparator();
        } else if (kind == "submenu") {
            if (auto m = today.match(title); m.hasMatch()) todayCount_ = m.captured(1).toInt();
            auto* sub = into->addMenu(title);
            addEngineItems(sub, item.value("items", core::Json::array()));
        } else if (kind == "action") {
            auto* action = into->addAction(QString(title).replace("&", "&&"));
            if (auto shortcut = item.value("shortcut", std::string()); !shortcut.empty())
                action->setShortcut(QKeySequence(QString::fromStdString(shortcut)));
            connect(action, &QAction::triggered, this, [this, item] { runMenuAction(item); });
        } else {
            into->addAction(QString(title).replace("&", "&&"))->setEnabled(false);
        }
    }
}

void TrayApp::runMenuAction(const core::Json& item) {
    const auto action = item.value("action", std::string());
    auto paths = filesOf(item);
    if (action == "openFile" || action == "openFolder") {
        if (!paths.empty()) actions_.open(paths.front());
    } else if (action == "mail") {
        actions_.mail(paths, item.value("subject", std::string()));
    } else if (action == "searchVault") {
        toggleSearch();
    } else if (action == "refresh") {
        engine_.request(this, "refresh", core::Json::object(), [this](const Reply&) { refresh(); });
    } else if (action == "settings") {
        showSettings();
    } else if (action == "welcome") {
        showWelcome();
    } else if (action == "quit") {
        qApp->quit();
    }
}

RecorderWindow& TrayApp::recorderWindow() {
    if (!recorder_) {
        recorder_ = new RecorderWindow(engine_);
        recorder_->applyDefaults(settingsAnswer_.value("settings", core::Json::object()));
        recorder_->showStatus(recording_);
        recorder_->refreshDevices();
    }
    return *recorder_;
}

SearchWindow& TrayApp::searchWindow() {
    if (!search_) search_ = new SearchWindow(engine_, actions_);
    return *search_;
}

SettingsWindow& TrayApp::settingsWindow() {
    if (!settings_) {
        settings_ = new SettingsWindow(engine_);
        settings_->openFolder = [this](const QString& path) { actions_.open(path.toStdString()); };
        settings_->setKeysNote(keysNote_);
    }
    return *settings_;
}

WelcomeWindow& TrayApp::welcomeWindow() {
    if (!welcome_) {
        welcome_ = new WelcomeWindow(engine_);
        connect(welcome_, &WelcomeWindow::closed, this, [this] { refresh(); });
    }
    return *welcome_;
}

void TrayApp::showRecorder() {
    auto& w = recorderWindow();
    w.showStatus(recording_);
    w.show();
    w.raise();
}

void TrayApp::toggleSearch() {
    auto& w = searchWindow();
    if (w.isVisible()) {
        w.hide();
        return;
    }
    w.reset();
}

void TrayApp::showSettings(const QString& tab) {
    auto& w = settingsWindow();
    w.reload();
    if (!tab.isEmpty()) w.showTab(tab);
    w.show();
    w.raise();
    w.activateWindow();
}

void TrayApp::showWelcome() {
    auto& w = welcomeWindow();
    w.reload();
    w.show();
    w.raise();
    w.activateWindow();
}

void TrayApp::quickRecord() {
    const auto state = recordingState();
    if (state == "idle" || state == "failed") {
        engine_.request(this, "record.start", recorderWindow().startParams());
        return;
    }
    showRecorder();
}

}  // namespace sayloft::tray
