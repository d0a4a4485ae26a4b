#include "welcome_window.hpp"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QVBoxLayout>

namespace sayloft::tray {

namespace {

QLabel* wrapped(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    return label;
}

}  // namespace

WelcomeWindow::WelcomeWindow(EngineClient& engine, QWidget* parent)
    : QWidget(parent, Qt::Window), engine_(engine) {
    setWindowTitle("Welcome to sayloft");
    setObjectName("welcome");
    auto* title = new QLabel("Welcome to sayloft");
    QFont big = title->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    title->setFont(big);
    auto* intro = wrapped(
        "sayloft files what is said into your vault as markdown: recordings of calls and "
        "meetings, and new voice memos, each with its transcript.");

    auto* vaultBox = new QGroupBox("Your vault");
    auto* vaultLayout = new QVBoxLayout(vaultBox);
    vaultLine = wrapped("No vault chosen yet.");
    vaultLine->setObjectName("vault");
    vaultLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    vaultLayout->addWidget(vaultLine);
    auto* cards = new QGridLayout;
    createButton = new QPushButton("Create a new vault");
    customButton = new QPushButton("Use a custom folder");
    cards->addWidget(createButton, 0, 0);
    cards->addWidget(
        wrapped("Pick a parent folder, name it. We'll set up the loomkit layout (_outbox/)."), 1,
        0);
    cards->addWidget(customButton, 0, 1);
    cards->addWidget(wrapped("Point sayloft at any folder you already work in."), 1, 1);
    vaultLayout->addLayout(cards);
    messageLine = wrapped({});
    messageLine->setObjectName("message");
    vaultLayout->addWidget(messageLine);

    auto* guide = new QGroupBox("How sayloft works");
    auto* rows = new QGridLayout(guide);
    const std::pair<const char*, const char*> lines[] = {
        {"Recording",
         "Records a call or meeting (this computer's sound and your microphone) and sends it to "
         "Wendrel. Ctrl+Alt+Super+R starts it."},
        {"Captures",
         "New Voice Memos are sent to Wendrel; each transcript lands in your vault as "
         "_inbox/<date-time>.md."},
        {"Your vault",
         "_inbox/ holds new captures, _outbox/ deliveries to send, .handoff/ work to pass on."},
        {"Search Vault… (Super+Shift+V)", "Find any file; narrow it to Inbox, Outbox or Handoff."},
        {"Settings",
         "Connect to Wendrel, choose what is captured, hidden files, notifications, updates."},
    };
    int r = 0;
    for (auto& [head, text] : lines) {
        auto* h = new QLabel(QString("<b>%1</b>").arg(head));
        h->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        rows->addWidget(h, r, 0);
        rows->addWidget(wrapped(text), r, 1);
        ++r;
    }
    rows->setColumnStretch(1, 1);

    auto* footer = new QHBoxLayout;
    auto* links = new QLabel(
        "<a href=\"https://sayloft.org/guide\">The full guide</a> · "
        "<a href=\"https://github.com/loomkit/loomkit\">Works with loomkit</a>");
    links->setOpenExternalLinks(true);
    doneButton = new QPushButton("Skip for now");
    footer->addWidget(links, 1);
    footer->addWidget(doneButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(intro);
    layout->addWidget(vaultBox);
    layout->addWidget(guide);
    layout->addLayout(footer);
    resize(620, 560);

    connect(doneButton, &QPushButton::clicked, this, &QWidget::close);
    connect(customButton, &QPushButton::clicked, this, [this] {
        QFileDialog dialog(this, "Pick the folder sayloft should watch.");
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setLabelText(QFileDialog::Accept, "Use this folder");
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
        auto path = dialog.selectedFiles().first();
        useVault(path, QFileInfo(path).fileName());
    });
    connect(createButton, &QPushButton::clicked, this, &WelcomeWindow::createVault);
}

void WelcomeWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    emit closed();
}

void WelcomeWindow::reload() {
    engine_.request(this, "settings.get", core::Json::object(), [this](const Reply& reply) {
        if (!reply.ok()) {
            messageLine->setText(reply.text());
            return;
        }
        auto s = reply.done.value("settings", core::Json::object());
        auto path = QString::fromStdString(s.value("vaultPath", ""));
        auto name = QString::fromStdString(s.value("vaultName", ""));
        vaultLine->setText(path.isEmpty() ? "No vault chosen yet."
                                          : "sayloft files into <b>" + name.toHtmlEscaped() +
                                                "</b> at " + path.toHtmlEscaped());
        doneButton->setText(reply.done.value("settingsFileExists", false) ? "Done"
                                                                          : "Skip for now");
    });
}

void WelcomeWindow::useVault(const QString& path, const QString& name) {
    auto left = std::make_shared<int>(2);
    auto failed = std::make_shared<QStringList>();
    auto finished = [this, left, failed](const Reply& reply) {
        if (!reply.ok()) *failed << reply.text();
        if (--*left) return;
        if (!failed->isEmpty()) {
            messageLine->setText("Couldn't set up vault: " + failed->join('\n'));
            return;
        }
        messageLine->clear();
        reload();
        emit vaultChosen();
    };
    engine_.request(this, "settings.set", {{"key", "vaultPath"}, {"value", path.toStdString()}},
                    finished);
    engine_.request(this, "settings.set", {{"key", "vaultName"}, {"value", name.toStdString()}},
                    finished);
}

void WelcomeWindow::createVault() {
    auto parent = QFileDialog::getExistingDirectory(this, "Choose", QDir::homePath());
    if (parent.isEmpty()) return;
    bool ok = false;
    auto name = QInputDialog::getText(this, "Create a new vault", "Vault name:", QLineEdit::Normal,
                                      "Vault", &ok)
                    .trimmed();
    if (!ok || name.isEmpty()) return;
    QDir dir(parent);
    if (name.contains('/') || dir.exists(name)) {
        messageLine->setText("Couldn't set up vault: " + dir.filePath(name) + " already exists.");
        return;
    }
    if (!dir.mkpath(name + "/_outbox")) {
        messageLine->setText("Couldn't set up vault: " + dir.filePath(name) +
                             " could not be created (check the folder permissions).");
        return;
    }
    useVault(dir.filePath(name), name);
}

}  // namespace sayloft::tray
