#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QToolButton>
#include <QWidget>
#include <functional>
#include <set>
#include <vector>

#include "browser/file_actions.hpp"
#include "core/json.hpp"
#include "engine_client.hpp"

namespace sayloft::tray {

// The search panel: the engine searches (`search`), the panel narrows by scope and extension
// chips, browses a result's folder and acts on the selected file with single keys.
class SearchWindow : public QWidget {
    Q_OBJECT
  public:
    SearchWindow(EngineClient& engine, browser::FileActions& actions, QWidget* parent = nullptr);

    // Clears the query, filters and folder mode, searches and brings the panel to the front.
    void reset();
    void search();

    // The entry shown at the selected row (a FileEntry as JSON), or null.
    core::Json selectedEntry() const;
    void openSelected();
    void revealSelected();
    void mailSelected();
    void pdfSelected();
    void deleteSelected();
    void drillIntoFolder();
    void exitFolderMode();
    bool inFolderMode() const { return !folderPath_.isEmpty(); }

    QLineEdit* query;
    QComboBox* scope;
    QCheckBox* hideSystemFiles;
    QCheckBox* deepSearch;
    std::vector<QToolButton*> chips;
    QListWidget* results;
    QLabel* statusLine;

    // Asks before moving a file to the trash; replaced by tests.
    std::function<bool(const QString& name)> confirmDelete;

  signals:
    void searched();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void showEntries();
    std::set<std::string> activeExtensions() const;

    EngineClient& engine_;
    browser::FileActions& actions_;
    std::vector<core::Json> found_;    // the engine's answer
    std::vector<core::Json> visible_;  // after scope and chips
    QString folderPath_;
    bool folderSortByName_ = false;
    int searchSerial_ = 0;
};

}  // namespace sayloft::tray
