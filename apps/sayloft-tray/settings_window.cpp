#include "settings_window.hpp"

#include <QComboBox>
#include <QDateEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QSpinBox>
#include <optional>

#include "app/onboarding/login_item.hpp"
#include "platform/user_defaults.hpp"
#include "sayloft/version.hpp"
#include "settings/settings.hpp"

namespace sayloft::tray {

namespace {

QString jsonText(const core::Json& value, bool lines) {
    if (value.is_null()) return {};
    if (value.is_string()) return QString::fromStdString(value.get<std::string>());
    if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
    if (value.is_number_integer()) return QString::number(value.get<long long>());
    if (value.is_number()) return QString::number(value.get<double>());
    if (value.is_array()) {
        QStringList parts;
        for (auto& v : value) parts << jsonText(v, lines);
        return parts.join(lines ? "\n" : ", ");
    }
    return QString::fromStdString(value.dump());
}

QLabel* note(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    QPalette muted = label->palette();
    muted.setColor(QPalette::WindowText, muted.color(QPalette::Disabled, QPalette::WindowText));
    label->setPalette(muted);
    return label;
}

QFormLayout* section(QVBoxLayout* page, const QString& title) {
    auto* box = new QGroupBox(title);
    auto* form = new QFormLayout(box);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    page->addWidget(box);
    return form;
}

QString defaultHiddenPatterns() {
    QStringList patterns;
    for (auto& p : settings::Settings::defaultExcludeFilePatterns())
        patterns << QString::fromStdString(p);
    return patterns.join(", ");
}

}  // namespace

QWidget* SettingsWindow::addField(const std::string& key, Field::Kind kind, bool optionalText,
                                  const std::vector<std::pair<QString, QString>>& choices) {
    Field f{key, kind, nullptr, {}, optionalText};
    switch (kind) {
        case Field::Kind::text:
        case Field::Kind::list:
            f.widget = new QLineEdit;
            break;
        case Field::Kind::lines: {
            auto* edit = new QPlainTextEdit;
            edit->setFixedHeight(70);
            f.widget = edit;
            break;
        }
        case Field::Kind::number: {
            auto* spin = new QSpinBox;
            spin->setRange(-1, 100000);
            f.widget = spin;
            break;
        }
        case Field::Kind::boolean:
            f.widget = new QCheckBox;
            break;
        case Field::Kind::choice: {
            auto* combo = new QComboBox;
            for (auto& [label, value] : choices) combo->addItem(label, value);
            f.widget = combo;
            break;
        }
    }
    f.widget->setObjectName(QString::fromStdString(key));
    fields_[key] = f;
    return f.widget;
}

QString SettingsWindow::fieldText(const std::string& key) const {
    auto it = fields_.find(key);
    if (it == fields_.end()) return {};
    auto* w = it->second.widget;
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text().trimmed();
    if (auto* e = qobject_cast<QPlainTextEdit*>(w)) return e->toPlainText().trimmed();
    if (auto* e = qobject_cast<QSpinBox*>(w)) return QString::number(e->value());
    if (auto* e = qobject_cast<QCheckBox*>(w)) return e->isChecked() ? "true" : "false";
    if (auto* e = qobject_cast<QComboBox*>(w)) return e->currentData().toString();
    return {};
}

void SettingsWindow::setFieldText(const std::string& key, const QString& text) {
    auto it = fields_.find(key);
    if (it == fields_.end()) return;
    auto* w = it->second.widget;
    if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(text);
    if (auto* e = qobject_cast<QPlainTextEdit*>(w)) e->setPlainText(text);
    if (auto* e = qobject_cast<QSpinBox*>(w)) e->setValue(text.toInt());
    if (auto* e = qobject_cast<QCheckBox*>(w)) e->setChecked(text == "true");
    if (auto* e = qobject_cast<QComboBox*>(w)) {
        int i = e->findData(text);
        if (i < 0) {
            e->addItem(text + " (not connected)", text);
            i = e->count() - 1;
        }
        e->setCurrentIndex(i);
    }
}

SettingsWindow::SettingsWindow(EngineClient& engine, QWidget* parent)
    : QWidget(parent, Qt::Window), engine_(engine) {
    setWindowTitle("sayloft Settings");
    setObjectName("settings");
    tabs = new QTabWidget;
    using K = Field::Kind;
    auto page = [this](const QString& title, const QString& icon) {
        auto* scroll = new QScrollArea;
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        auto* inner = new QWidget;
        auto* layout = new QVBoxLayout(inner);
        scroll->setWidget(inner);
        tabs->addTab(scroll, QIcon::fromTheme(icon), title);
        return layout;
    };

    // General
    auto* general = page("General", "preferences-system");
    auto* help = section(general, "Help");
    help->addRow(
        new QLabel("<a href=\"https://sayloft.org/\">sayloft for Linux on sayloft.org</a>"));
    help->addRow(new QLabel("<a href=\"https://sayloft.org/guide\">Setup guide, step by step</a>"));
    for (int i = 0; i < help->rowCount(); ++i)
        if (auto* l = qobject_cast<QLabel*>(help->itemAt(i, QFormLayout::SpanningRole)->widget()))
            l->setOpenExternalLinks(true);
    auto* vault = section(general, "Vault");
    vault->addRow("Vault path:", addField("vaultPath", K::text));
    vault->addRow("Vault name:", addField("vaultName", K::text));
    vault->addRow(
        note("The Obsidian vault sayloft reads frontmatter from and writes capture stubs into."));
    auto* updates = section(general, "Updates");
    updates->addRow("Version:", new QLabel(QString::fromStdString(kVersion)));
    updates->addRow(note("Updates come with this computer's package manager."));
    auto* startup = section(general, "Startup");
    loginItemBox = new QCheckBox("Start sayloft when you log in");
    loginItemBox->setObjectName("loginItem");
    startup->addRow(loginItemBox);
    loginItemLine = note({});
    startup->addRow(loginItemLine);
    startup->addRow(
        note("Nothing is captured while sayloft is not running. Without a graphical login, "
             "use the systemd user unit instead (see the README)."));
    connect(loginItemBox, &QCheckBox::clicked, this, &SettingsWindow::setStartAtLogin);
    showStartAtLogin();
    general->addStretch(1);

    // Paths
    auto* paths = page("Paths", "folder");
    auto* where = section(paths, "Folders");
    where->addRow("Additional paths:", addField("additionalPaths", K::lines));
    where->addRow("Remotes path:", addField("remotesPath", K::text, true));
    auto* sections = section(paths, "Menu sections");
    auto threshold = [&](const std::string& key, const QString& label, const QString& what) {
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(what));
        row->addWidget(addField(key, K::number));
        row->addWidget(new QLabel("files"));
        row->addStretch(1);
        sections->addRow(label, row);
    };
    threshold("inboxGroupThreshold", "Inbox:", "group by date above");
    threshold("outboxGroupThreshold", "Outbox:", "group by date above");
    threshold("handoffGroupThreshold", "Handoff:", "group by date above");
    threshold("todayGroupThreshold", "Today:", "group by folder above");
    auto* days = new QHBoxLayout;
    days->addWidget(new QLabel("show the latest"));
    days->addWidget(addField("menuDayLimit", K::number));
    days->addWidget(new QLabel("days; older under \"Older\""));
    days->addStretch(1);
    sections->addRow("Days listed:", days);
    auto* openRow = new QHBoxLayout;
    for (auto [label, folder] :
         {std::pair{"Open _inbox folder", "_inbox"}, std::pair{"Open _outbox folder", "_outbox"},
          std::pair{"Open .handoff folder", ".handoff"}}) {
        auto* button = new QPushButton(label);
        connect(button, &QPushButton::clicked, this, [this, folder = QString(folder)] {
            if (openFolder) openFolder(fieldText("vaultPath") + "/" + folder);
        });
        openRow->addWidget(button);
    }
    openRow->addStretch(1);
    sections->addRow(openRow);
    paths->addStretch(1);

    // Scanning
    auto* scanning = page("Scanning", "view-refresh");
    auto* scan = section(scanning, "Scanning");
    auto unit = [&](const std::string& key, const QString& label, const QString& after) {
        auto* row = new QHBoxLayout;
        row->addWidget(addField(key, K::number));
        row->addWidget(new QLabel(after));
        row->addStretch(1);
        scan->addRow(label, row);
    };
    unit("refreshInterval", "Refresh interval:", "seconds");
    unit("recentDays", "Menu bar window:", "days");
    unit("searchDays", "Search index window:", "days");
    scan->addRow("Time basis:", addField("timeBasis", K::choice, false,
                                         {{"Modified date (recommended)", "modification"},
                                          {"Created date", "creation"},
                                          {"Either (most permissive)", "either"}}));
    scan->addRow(
        note("Modified is best for synced vaults (Nextcloud, Syncthing, Dropbox) -- "
             "creation dates can carry over from the originating machine."));
    scanning->addStretch(1);

    // Files
    auto* files = page("Files", "text-x-generic");
    auto* types = section(files, "File types (whitelist)");
    auto* include = static_cast<QLineEdit*>(addField("includeExtensions", K::list));
    include->setPlaceholderText("Comma-separated: md, pdf, docx, pptx, ...");
    types->addRow("Include extensions:", include);
    auto* excluded = section(files, "Excluded directories");
    auto* dirs = static_cast<QLineEdit*>(addField("excludeDirs", K::list));
    dirs->setPlaceholderText("Comma-separated: .git, node_modules, ...");
    excluded->addRow("Exclude directories:", dirs);
    auto* hidden = section(files, "Hidden files");
    auto* patterns = static_cast<QLineEdit*>(addField("excludeFilePatterns", K::list, true));
    auto* reset = new QPushButton("Reset to default");
    connect(reset, &QPushButton::clicked, this,
            [patterns] { patterns->setText(defaultHiddenPatterns()); });
    auto* hideRow = new QHBoxLayout;
    hideRow->addWidget(patterns, 1);
    hideRow->addWidget(reset);
    hidden->addRow("Hide files:", hideRow);
    files->addStretch(1);

    // Captures
    auto* captures = page("Captures", "audio-x-generic");
    auto* watched = new QGroupBox("Watched folders");
    auto* watchedLayout = new QVBoxLayout(watched);
    foldersBox = new QVBoxLayout;
    watchedLayout->addLayout(foldersBox);
    auto* folderButtons = new QHBoxLayout;
    auto* addFolder = new QPushButton("Add folder…");
    auto* recheck = new QPushButton("Re-check");
    folderButtons->addWidget(addFolder);
    folderButtons->addWidget(recheck);
    folderButtons->addStretch(1);
    watchedLayout->addLayout(folderButtons);
    auto* sendOld = new QPushButton("Send recordings already in Voice Memos…");
    importLine = note({});
    importLine->setObjectName("importResult");
    importLine->hide();
    watchedLayout->addWidget(sendOld);
    watchedLayout->addWidget(importLine);
    connect(sendOld, &QPushButton::clicked, this, &SettingsWindow::openImportSheet);
    auto* upload = static_cast<QCheckBox*>(addField("captureWendrelEnabled", K::boolean));
    upload->setText("Upload to Wendrel for transcription");
    watchedLayout->addWidget(upload);
    captures->addWidget(watched);
    connect(addFolder, &QPushButton::clicked, this, [this] {
        auto dir = QFileDialog::getExistingDirectory(
            this, "Choose a folder for sayloft to monitor for new audio files.");
        if (dir.isEmpty()) return;
        engine_.request(this, "folders.add", {{"path", dir.toStdString()}},
                        [this](const Reply&) { reload(); });
    });
    connect(recheck, &QPushButton::clicked, this, &SettingsWindow::reload);

    auto* wendrel = section(captures, "Wendrel");
    pairingLine = new QLabel("Not connected");
    pairingLine->setObjectName("pairing");
    pairingLine->setWordWrap(true);
    pairingLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    connectButton = new QPushButton("Connect to Wendrel…");
    disconnectButton = new QPushButton("Disconnect");
    auto* pairRow = new QHBoxLayout;
    pairRow->addWidget(connectButton);
    pairRow->addWidget(disconnectButton);
    pairRow->addStretch(1);
    wendrel->addRow(pairingLine);
    wendrel->addRow(pairRow);
    auto* base = static_cast<QLineEdit*>(addField("wendrelBaseURL", K::text, true));
    base->setPlaceholderText("the public service");
    wendrel->addRow("Base URL:", base);
    connect(connectButton, &QPushButton::clicked, this, &SettingsWindow::connectToService);
    connect(disconnectButton, &QPushButton::clicked, this, [this] {
        engine_.request(this, "unpair", core::Json::object(), [this](const Reply& reply) {
            pairingLine->setText(reply.text());
            reload();
        });
    });

    auto* after = section(captures, "After a transcript");
    commandSwitch_ = new QCheckBox("After a transcript, run a command");
    commandSwitch_->setObjectName("afterTranscriptSwitch");
    auto* command = static_cast<QLineEdit*>(addField("afterTranscriptCommand", K::text, true));
    command->setPlaceholderText("claude -p \"/inbox\"");
    after->addRow(commandSwitch_);
    after->addRow(command);

    auto* sync = section(captures, "Sync");
    syncButton = new QPushButton("Sync from Wendrel…");
    syncLine = new QLabel;
    uploadButton = new QPushButton("Upload pending captures…");
    uploadLine = new QLabel;
    uploadLine->setObjectName("uploadProgress");
    sync->addRow(syncButton, syncLine);
    sync->addRow(uploadButton, uploadLine);
    connect(syncButton, &QPushButton::clicked, this, [this] {
        syncLine->setText("Listing your Wendrel sources…");
        engine_.request(
            this, "sync", core::Json::object(),
            [this](const Reply& reply) {
                syncLine->setText(reply.ok() ? reply.out.value(reply.out.size() - 1)
                                             : reply.text());
            },
            [this](const QString& line, bool) { syncLine->setText(line); });
    });
    connect(uploadButton, &QPushButton::clicked, this, [this] {
        uploadLine->setText("Scanning _inbox…");
        uploadButton->setEnabled(false);
        engine_.request(
            this, "retry", core::Json::object(),
            [this](const Reply& reply) {
                if (!reply.ok()) uploadLine->setText(reply.text());
                uploadButton->setEnabled(true);
                countPending();
            },
            [this](const QString& line, bool) { uploadLine->setText(line); });
    });
    captures->addStretch(1);

    // Recording
    auto* recording = page("Recording", "media-record");
    auto* recorder = section(recording, "Recorder");
    recorder->addRow("Default source:",
                     addField("recordingSource", K::choice, true, {{"All audio", ""}}));
    auto* mic = static_cast<QCheckBox*>(addField("recordingIncludeMicrophone", K::boolean));
    mic->setText("Include microphone");
    recorder->addRow(mic);
    recorder->addRow("Microphone:",
                     addField("recordingMicrophoneUID", K::choice, true, {{"System default", ""}}));
    recorder->addRow("Echo cancellation:",
                     addField("recordingEchoCancellation", K::choice, false,
                              {{"Automatic (when the sound comes out of speakers)", "automatic"},
                               {"On", "on"},
                               {"Off", "off"}}));
    auto* stopRow = new QHBoxLayout;
    stopRow->addWidget(new QLabel("after"));
    stopRow->addWidget(addField("recordingAutoStopMinutes", K::number));
    stopRow->addWidget(new QLabel("minutes of silence (0 = off)"));
    stopRow->addStretch(1);
    recorder->addRow("Auto-stop:", stopRow);
    auto* showWindow = static_cast<QCheckBox*>(addField("recordingShowWindow", K::boolean));
    showWindow->setText("Show the recorder window while recording");
    recorder->addRow(showWindow);
    auto* quick = static_cast<QCheckBox*>(addField("recordingQuickKey", K::boolean));
    quick->setText("Start recording from anywhere with Ctrl+Alt+Super+R");
    recorder->addRow(quick);
    keysNote = note({});
    keysNote->setObjectName("keysNote");
    keysNote->hide();
    recorder->addRow(keysNote);
    auto* consent = section(recording, "Consent");
    auto* remind = static_cast<QCheckBox*>(addField("recordingConsentReminder", K::boolean));
    remind->setText("Remind me to tell the others when a recording starts");
    consent->addRow(remind);
    auto* reminder = static_cast<QLineEdit*>(addField("recordingConsentText", K::text, true));
    reminder->setPlaceholderText(settings::kDefaultConsentText);
    consent->addRow("Reminder", reminder);
    auto* permissions = section(recording, "Permissions");
    permissions->addRow(
        note("Microphone and system audio come through the sound server "
             "(PulseAudio or PipeWire); no permission is asked on this computer."));
    recording->addStretch(1);

    // Notify
    auto* notify = page("Notify", "preferences-desktop-notification");
    auto* transcripts = section(notify, "Transcripts");
    auto check = [&](const std::string& key, const QString& text) {
        auto* box = static_cast<QCheckBox*>(addField(key, K::boolean));
        box->setText(text);
        transcripts->addRow(box);
    };
    check("notifyVoiceMemoSent", "Notify me when a voice memo is sent");
    check("notifyTranscriptReady", "Notify me when a transcript is ready");
    check("notifyTranscriptFailed", "Notify me when a transcript fails");
    auto* permission = section(notify, "Permission");
    testNotificationButton = new QPushButton("Send test notification");
    notifyLine = new QLabel;
    permission->addRow(note("Notifications go to the desktop's notification service."));
    permission->addRow(testNotificationButton, notifyLine);
    connect(testNotificationButton, &QPushButton::clicked, this, [this] {
        engine_.request(this, "notifications.test", core::Json::object(),
                        [this](const Reply& reply) { notifyLine->setText(reply.text()); });
    });
    notify->addStretch(1);

    saveButton = new QPushButton("Save");
    saveButton->setDefault(true);
    savedLine = new QLabel;
    savedLine->setObjectName("saved");
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(savedLine, 1);
    bottom->addWidget(saveButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs, 1);
    layout->addLayout(bottom);
    connect(saveButton, &QPushButton::clicked, this, &SettingsWindow::save);
    resize(660, 640);
}

void SettingsWindow::openImportSheet() {
    if (!importSheet) {
        importSheet = new QDialog(this);
        importSheet->setWindowTitle("Send recordings already in Voice Memos");
        auto* text = new QLabel(
            "sayloft sends only what is recorded after it starts watching. This sends the "
            "recordings that were already there: each is copied into the vault, uploaded and "
            "transcribed. Recordings Wendrel already has are not transcribed again, and "
            "transcripts already in the vault are kept.");
        text->setWordWrap(true);
        importFrom = new QDateEdit(QDate::currentDate().addDays(-7));
        importFrom->setCalendarPopup(true);
        importFrom->setDisplayFormat("yyyy-MM-dd");
        importOnly = new QLabel;
        importOnly->setWordWrap(true);
        importMatches = new QLabel;
        importMatches->setObjectName("importMatches");
        connect(importFrom, &QDateEdit::dateChanged, this, &SettingsWindow::countMatching);
        auto* buttons = new QDialogButtonBox;
        buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
        buttons->addButton("Send", QDialogButtonBox::AcceptRole);
        connect(buttons, &QDialogButtonBox::accepted, importSheet, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, importSheet, &QDialog::reject);
        connect(importSheet, &QDialog::accepted, this,
                [this] { sendExisting(importFrom->date().toString("yyyy-MM-dd")); });
        auto* form = new QFormLayout(importSheet);
        form->addRow(text);
        form->addRow("From", importFrom);
        form->addRow(importOnly);
        form->addRow(importMatches);
        form->addRow(buttons);
    }
    countMatching();
    importSheet->open();
}

void SettingsWindow::countMatching() {
    const QDate date = importFrom->date();
    importOnly->setText("Only recordings from " + date.toString("MMM d, yyyy") +
                        " will be sent, one at a time.");
    importMatches->setText("Counting…");
    // Only the answer for the date still shown counts: the user may turn the date quickly.
    const int asked = ++matchQuestion_;
    engine_.request(this, "import.count", {{"since", date.toString("yyyy-MM-dd").toStdString()}},
                    [this, asked](const Reply& reply) {
                        if (asked != matchQuestion_) return;
                        if (!reply.ok()) {
                            importMatches->setText(reply.text());
                            return;
                        }
                        const int n = reply.done.value("count", 0);
                        importMatches->setText(n == 0 ? QString("No recordings match.")
                                                      : QString("%1 recording%2 match%3.")
                                                            .arg(n)
                                                            .arg(n == 1 ? "" : "s")
                                                            .arg(n == 1 ? "es" : ""));
                    });
}

void SettingsWindow::countPending() {
    engine_.request(this, "retry.count", core::Json::object(), [this](const Reply& reply) {
        if (!reply.ok()) return;
        const int n = reply.done.value("count", 0);
        uploadButton->setText(QString("Upload pending captures (%1)").arg(n));
    });
}

void SettingsWindow::sendExisting(const QString& since) {
    importLine->show();
    importLine->setText("Sending…");
    engine_.request(this, "import", {{"since", since.toStdString()}},
                    [this](const Reply& reply) { importLine->setText(reply.text()); });
}

bool SettingsWindow::showTab(const QString& title) {
    for (int i = 0; i < tabs->count(); ++i) {
        if (tabs->tabText(i).compare(title, Qt::CaseInsensitive) == 0) {
            tabs->setCurrentIndex(i);
            return true;
        }
    }
    return false;
}

void SettingsWindow::setKeysNote(const QString& text) {
    keysNote->setText(text);
    keysNote->setVisible(!text.isEmpty());
}

void SettingsWindow::showStartAtLogin() {
    platform::JsonFileDefaults defaults;
    app::LoginItem item(defaults);
    const auto status = item.status();
    loginItemBox->setChecked(status == app::LoginItemStatus::enabled);
    loginItemLine->setText(status == app::LoginItemStatus::notFound
                               ? "Neither sayloft-tray nor sayloft was found to start at login."
                               : QString());
    loginItemLine->setVisible(!loginItemLine->text().isEmpty());
}

void SettingsWindow::setStartAtLogin(bool on) {
    // The autostart entry is this desktop session's, not the engine's: written here, as
    // `sayloft autostart` does.
    platform::JsonFileDefaults defaults;
    app::LoginItem item(defaults);
    if (auto error = item.set(on)) {
        loginItemBox->setChecked(!on);
        loginItemLine->setText("Could not change the start at login: " +
                               QString::fromStdString(*error));
        loginItemLine->setVisible(true);
        return;
    }
    loginItemLine->setText(on ? "Starts at login: " +
                                    QString::fromStdString(item.entryFile().string())
                              : "sayloft no longer starts at login.");
    loginItemLine->setVisible(true);
}

void SettingsWindow::reload() {
    showStartAtLogin();
    countPending();
    engine_.request(this, "devices", core::Json::object(), [this](const Reply& reply) {
        if (!reply.ok()) return;
        auto* source = qobject_cast<QComboBox*>(fields_["recordingSource"].widget);
        auto* mics = qobject_cast<QComboBox*>(fields_["recordingMicrophoneUID"].widget);
        const auto keepSource = fieldText("recordingSource");
        const auto keepMic = fieldText("recordingMicrophoneUID");
        source->clear();
        source->addItem("All audio", "");
        for (auto& app : reply.done.value("apps", core::Json::array())) {
            core::Json value = {
                {"app", {{"bundleID", app.value("id", "")}, {"name", app.value("name", "")}}}};
            source->addItem(QString::fromStdString(app.value("name", "")),
                            QString::fromStdString(value.dump()));
        }
        mics->clear();
        mics->addItem("System default", "");
        for (auto& m : reply.done.value("microphones", core::Json::array()))
            mics->addItem(QString::fromStdString(m.value("name", "")),
                          QString::fromStdString(m.value("id", "")));
        setFieldText("recordingSource", keepSource);
        setFieldText("recordingMicrophoneUID", keepMic);
        fields_["recordingSource"].loaded = fieldText("recordingSource");
        fields_["recordingMicrophoneUID"].loaded = fieldText("recordingMicrophoneUID");
    });
    engine_.request(this, "settings.get", core::Json::object(), [this](const Reply& reply) {
        if (!reply.ok()) {
            savedLine->setText(reply.text());
            return;
        }
        const auto& s = reply.done.value("settings", core::Json::object());
        const core::Json defaults = {{"recordingIncludeMicrophone", true},
                                     {"recordingShowWindow", true},
                                     {"recordingQuickKey", true},
                                     {"recordingConsentReminder", false},
                                     {"notifyVoiceMemoSent", true},
                                     {"notifyTranscriptReady", true},
                                     {"notifyTranscriptFailed", true},
                                     {"captureWendrelEnabled", false},
                                     {"timeBasis", "modification"},
                                     {"recordingEchoCancellation", "automatic"},
                                     {"inboxGroupThreshold", 15},
                                     {"outboxGroupThreshold", 15},
                                     {"handoffGroupThreshold", 15},
                                     {"todayGroupThreshold", 15},
                                     {"menuDayLimit", 10},

                                     {"recordingAutoStopMinutes", 0}};
        for (auto& [key, field] : fields_) {
            core::Json value = s.contains(key) ? s[key] : defaults.value(key, core::Json());
            if (key == "searchDays" && !s.contains(key)) {
                int recent = s.value("recentDays", 7);
                value = recent < 31 ? 30 : recent;
            }
            QString text = key == "recordingSource" && !value.is_null()
                               ? QString::fromStdString(value.dump())
                               : jsonText(value, field.kind == Field::Kind::lines);
            setFieldText(key, text);
            field.loaded = fieldText(key);
        }
        commandLoaded_ = s.contains("afterTranscriptCommand");
        commandSwitch_->setChecked(commandLoaded_);
        showFolders(reply.done.value("folders", core::Json::array()));
        showPairing(reply.done);
        emit loaded();
    });
}

void SettingsWindow::showFolders(const core::Json& folders) {
    while (auto* item = foldersBox->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (folders.empty()) foldersBox->addWidget(new QLabel("No folders are being monitored."));
    for (auto& folder : folders) {
        auto id = folder.value("id", std::string());
        auto* row = new QWidget;
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* enabled = new QCheckBox(QString::fromStdString(folder.value("name", id)));
        enabled->setChecked(folder.value("enabled", true));
        auto* access = note(QString::fromStdString(folder.value("access", "")));
        layout->addWidget(enabled);
        layout->addWidget(access, 1);
        connect(enabled, &QCheckBox::toggled, this, [this, id](bool on) {
            engine_.request(this, on ? "folders.enable" : "folders.disable", {{"id", id}},
                            [this](const Reply&) { reload(); });
        });
        if (id != "voice-memos") {
            auto* remove = new QPushButton("Remove");
            layout->addWidget(remove);
            connect(remove, &QPushButton::clicked, this, [this, id] {
                engine_.request(this, "folders.remove", {{"id", id}},
                                [this](const Reply&) { reload(); });
            });
        }
        foldersBox->addWidget(row);
    }
}

void SettingsWindow::showPairing(const core::Json& answer) {
    if (pairingRequest_) return;  // a pairing in progress shows its own lines
    const bool paired = answer.value("paired", false);
    pairingLine->setText(
        paired ? "Connected: " + QString::fromStdString(answer.value("tokenPrefix", "")) + "…"
               : "Not connected");
    connectButton->setText(paired ? "Connect again…" : "Connect to Wendrel…");
    disconnectButton->setEnabled(paired);
}

void SettingsWindow::connectToService() {
    if (pairingRequest_) {  // the button reads "Cancel" meanwhile
        engine_.cancel(pairingRequest_);
        return;
    }
    pairingLine->setText("Asking Wendrel for a code…");
    connectButton->setText("Cancel");
    pairingRequest_ = engine_.request(
        this, "pair", core::Json::object(),
        [this](const Reply& reply) {
            pairingRequest_ = 0;
            connectButton->setText("Connect to Wendrel…");
            if (!reply.ok()) {
                pairingLine->setText(reply.lost ? "Pairing cancelled." : reply.text());
                return;
            }
            pairingLine->setText(reply.out.filter("Connected").value(0, "Connected."));
            disconnectButton->setEnabled(true);
        },
        [this](const QString& line, bool) {
            if (line.startsWith("Your code:") || line.startsWith("Pairing with"))
                pairingLine->setText(line);
        });
}

void SettingsWindow::save() {
    struct Change {
        std::string key;
        std::optional<QString> value;  // nothing: remove the key
    };
    std::vector<Change> changes;
    for (auto& [key, field] : fields_) {
        auto text = fieldText(key);
        if (key == "afterTranscriptCommand") {
            if (!commandSwitch_->isChecked()) {
                if (commandLoaded_) changes.push_back({key, std::nullopt});
                continue;
            }
            if (text == field.loaded && commandLoaded_) continue;
        } else if (text == field.loaded) {
            continue;
        }
        if (text.isEmpty() && field.optionalText)
            changes.push_back({key, std::nullopt});
        else
            changes.push_back({key, text});
    }
    if (changes.empty()) {
        savedLine->setText("Saved.");
        emit savedAll();
        return;
    }
    auto failures = std::make_shared<QStringList>();
    auto left = std::make_shared<size_t>(changes.size());
    saveButton->setEnabled(false);
    for (auto& change : changes) {
        core::Json params = {{"key", change.key}};
        if (change.value) params["value"] = change.value->toStdString();
        engine_.request(this, change.value ? "settings.set" : "settings.unset", params,
                        [this, failures, left](const Reply& reply) {
                            if (!reply.ok()) *failures << reply.text();
                            if (--*left) return;
                            saveButton->setEnabled(true);
                            if (failures->isEmpty()) {
                                reload();
                                savedLine->setText("Saved.");
                                emit savedAll();
                            } else {
                                savedLine->setText(failures->join('\n'));
                            }
                        });
    }
}

}  // namespace sayloft::tray
