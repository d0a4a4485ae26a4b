#include "search_window.hpp"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QVBoxLayout>
#include <algorithm>

#include "browser/search_index.hpp"
#include "tray_places.hpp"

namespace sayloft::tray {

namespace {

// The chips and what they match are the search model's, so the window and `sayloft search`
// agree.
const auto& chipTable() {
    return browser::SearchIndex::extensionChips();
}

std::string lowerExtension(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos) return {};
    auto ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    return ext;
}

std::vector<core::Json> entriesOf(const core::Json& done) {
    for (const char* key : {"results", "entries", "files", "result"})
        if (done.contains(key) && done[key].is_array())
            return done[key].get<std::vector<core::Json>>();
    return {};
}

QString entryPath(const core::Json& e) {
    return pathFromFileUrl(QString::fromStdString(e.value("fullPath", std::string())));
}

// Seconds since 2001-01-01 (the dates in FileEntry JSON) as a local date.
QString entryDate(const core::Json& e) {
    double seconds = std::max(e.value("modificationDate", 0.0), 0.0);
    auto when = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds) + 978307200);
    return when.toString("MMM d, HH:mm");
}

}  // namespace

SearchWindow::SearchWindow(EngineClient& engine, browser::FileActions& actions, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint), engine_(engine), actions_(actions) {
    setWindowTitle("Search Vault");
    setObjectName("search");
    resize(600, 420);
    query = new QLineEdit;
    query->setPlaceholderText("Search the vault");
    query->setClearButtonEnabled(true);
    scope = new QComboBox;
    scope->addItem("All", "all");
    scope->addItem("Inbox", "inbox");
    scope->addItem("Outbox", "outbox");
    scope->addItem("Handoff", "handoff");
    hideSystemFiles = new QCheckBox("Hide system files");
    hideSystemFiles->setChecked(true);
    deepSearch = new QCheckBox("All files");
    deepSearch->setToolTip("Search every file, not only the recent ones");
    results = new QListWidget;
    results->setObjectName("results");
    results->setUniformItemSizes(true);
    statusLine = new QLabel;
    statusLine->setObjectName("status");

    auto* top = new QHBoxLayout;
    top->addWidget(query, 1);
    top->addWidget(scope);
    auto* filters = new QHBoxLayout;
    for (auto& chip : chipTable()) {
        auto* b = new QToolButton;
        b->setText(QString::fromStdString(chip.first));
        b->setCheckable(true);
        b->setAutoRaise(false);
        chips.push_back(b);
        filters->addWidget(b);
        connect(b, &QToolButton::toggled, this, [this] { search(); });
    }
    filters->addStretch(1);
    filters->addWidget(hideSystemFiles);
    filters->addWidget(deepSearch);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(filters);
    layout->addWidget(results, 1);
    auto* hintLine = new QLabel(
        "Enter open · → folder · Ctrl+F show in folder · Ctrl+M mail · Ctrl+P PDF · Ctrl+D trash");
    QPalette muted = hintLine->palette();
    muted.setColor(QPalette::WindowText, muted.color(QPalette::Disabled, QPalette::WindowText));
    hintLine->setPalette(muted);
    layout->addWidget(statusLine);
    layout->addWidget(hintLine);

    confirmDelete = [this](const QString& name) {
        return QMessageBox::question(this, "Move to Trash?", "Move " + name + " to the trash?") ==
               QMessageBox::Yes;
    };

    connect(query, &QLineEdit::textChanged, this, [this] {
        exitFolderMode();
        search();
    });
    connect(scope, &QComboBox::currentIndexChanged, this, [this] { search(); });
    connect(hideSystemFiles, &QCheckBox::toggled, this, [this] { search(); });
    connect(deepSearch, &QCheckBox::toggled, this, [this] { search(); });
    connect(results, &QListWidget::itemActivated, this, [this] { openSelected(); });
    query->installEventFilter(this);
    results->installEventFilter(this);
}

void SearchWindow::reset() {
    const QSignalBlocker b1(query), b2(scope), b3(deepSearch);
    query->clear();
    scope->setCurrentIndex(0);
    deepSearch->setChecked(false);
    for (auto* chip : chips) {
        const QSignalBlocker b(chip);
        chip->setChecked(false);
    }
    folderPath_.clear();
    search();
    show();
    raise();
    activateWindow();
    query->setFocus();
}

std::set<std::string> SearchWindow::activeExtensions() const {
    std::set<std::string> on;
    for (size_t i = 0; i < chips.size(); ++i)
        if (chips[i]->isChecked())
            for (auto& e : chipTable()[i].second) on.insert(e);
    return on;
}

void SearchWindow::search() {
    const int serial = ++searchSerial_;
    core::Json params = {{"query", query->text().toStdString()},
                         {"limit", 500},
                         {"all", deepSearch->isChecked()},
                         {"hideSystemFiles", hideSystemFiles->isChecked()}};
    if (deepSearch->isChecked()) statusLine->setText("Loading every file…");
    engine_.request(this, "search", params, [this, serial](const Reply& reply) {
        if (serial != searchSerial_) return;  // a newer query is on its way
        found_ = reply.ok() ? entriesOf(reply.done) : std::vector<core::Json>{};
        statusLine->setText(reply.ok() ? QString() : reply.text());
        showEntries();
        emit searched();
    });
}

void SearchWindow::showEntries() {
    const auto wanted = scope->currentData().toString().toStdString();
    const auto extensions = activeExtensions();
    visible_.clear();
    if (inFolderMode()) {
        QDir dir(folderPath_);
        auto sort = folderSortByName_ ? QDir::Name : QDir::Time;
        for (auto& info : dir.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, sort)) {
            visible_.push_back(
                {{"filename", info.fileName().toStdString()},
                 {"fullPath", info.absoluteFilePath().toStdString()},
                 {"parentFolder", dir.dirName().toStdString()},
                 {"modificationDate",
                  static_cast<double>(info.lastModified().toSecsSinceEpoch() - 978307200)}});
        }
    } else {
        for (auto& e : found_) {
            if (wanted != "all" && e.value("source", "") != wanted) continue;
            if (!extensions.empty() &&
                !extensions.count(lowerExtension(e.value("filename", std::string()))))
                continue;
            visible_.push_back(e);
        }
    }
    results->clear();
    for (auto& e : visible_) {
        auto where = e.contains("domain") ? QString::fromStdString(e.value("domain", ""))
                                          : QString::fromStdString(e.value("parentFolder", ""));
        results->addItem(QString::fromStdString(e.value("filename", std::string())) + "  —  " +
                         where + "  ·  " + entryDate(e));
    }
    if (!visible_.empty()) results->setCurrentRow(0);
    if (inFolderMode())
        statusLine->setText(folderPath_ + (folderSortByName_ ? "  (by name)" : "  (by date)"));
    else if (statusLine->text().isEmpty() || deepSearch->isChecked())
        statusLine->setText(
            QString("%1 file%2").arg(visible_.size()).arg(visible_.size() == 1 ? "" : "s"));
}

core::Json SearchWindow::selectedEntry() const {
    int row = results->currentRow();
    if (row < 0 || row >= static_cast<int>(visible_.size())) return nullptr;
    return visible_[static_cast<size_t>(row)];
}

void SearchWindow::openSelected() {
    auto e = selectedEntry();
    if (e.is_null()) return;
    actions_.open(entryPath(e).toStdString());
    hide();
}

void SearchWindow::revealSelected() {
    auto e = selectedEntry();
    if (e.is_null()) return;
    actions_.reveal(entryPath(e).toStdString());
    hide();
}

void SearchWindow::mailSelected() {
    auto e = selectedEntry();
    if (e.is_null()) return;
    actions_.mail({entryPath(e).toStdString()}, {});
    hide();
}

void SearchWindow::pdfSelected() {
    auto e = selectedEntry();
    if (e.is_null()) return;
    try {
        auto pdf = actions_.convertToPdf(entryPath(e).toStdString());
        statusLine->setText("PDF: " + QString::fromStdString(pdf));
    } catch (const std::exception& error) {
        statusLine->setText(QString("PDF failed: ") + error.what());
    }
}

void SearchWindow::deleteSelected() {
    auto e = selectedEntry();
    if (e.is_null()) return;
    auto path = entryPath(e);
    if (confirmDelete && !confirmDelete(QFileInfo(path).fileName())) return;
    engine_.request(this, "trash", {{"path", path.toStdString()}},
                    [this, path](const Reply& reply) {
                        if (!reply.ok()) {
                            statusLine->setText(reply.text());
                            return;
                        }
                        auto same = [&](const core::Json& x) { return entryPath(x) == path; };
                        std::erase_if(found_, same);
                        statusLine->setText("Moved to the trash: " + QFileInfo(path).fileName());
                        int row = results->currentRow();
                        showEntries();
                        results->setCurrentRow(std::min(row, results->count() - 1));
                    });
}

void SearchWindow::drillIntoFolder() {
    auto e = selectedEntry();
    if (e.is_null()) return;
    folderPath_ = QFileInfo(entryPath(e)).absolutePath();
    folderSortByName_ = false;
    showEntries();
}

void SearchWindow::exitFolderMode() {
    if (!inFolderMode()) return;
    folderPath_.clear();
    folderSortByName_ = false;
    statusLine->clear();
    showEntries();
}

bool SearchWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() & Qt::ControlModifier) {
        switch (key->key()) {
            case Qt::Key_D:
                deleteSelected();
                return true;
            case Qt::Key_F:
                revealSelected();
                return true;
            case Qt::Key_M:
                mailSelected();
                return true;
            case Qt::Key_P:
                pdfSelected();
                return true;
            case Qt::Key_S:
                if (inFolderMode()) {
                    folderSortByName_ = !folderSortByName_;
                    showEntries();
                }
                return true;
            default:
                break;
        }
        return QWidget::eventFilter(watched, event);
    }
    const int row = results->currentRow();
    switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            openSelected();
            return true;
        case Qt::Key_Down:
            if (row + 1 < results->count()) results->setCurrentRow(row + 1);
            return true;
        case Qt::Key_Up:
            if (row > 0) results->setCurrentRow(row - 1);
            return true;
        case Qt::Key_Right:
            if (watched == query && query->cursorPosition() < query->text().size()) break;
            drillIntoFolder();
            return true;
        case Qt::Key_Left:
            if (!inFolderMode()) break;
            exitFolderMode();
            return true;
        case Qt::Key_Escape:
            if (inFolderMode())
                exitFolderMode();
            else
                hide();
            return true;
        default:
            break;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace sayloft::tray
