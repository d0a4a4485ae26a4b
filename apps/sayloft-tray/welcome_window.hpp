#pragma once

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include "core/json.hpp"
#include "engine_client.hpp"

namespace sayloft::tray {

// The first-run window: where the vault is, how to choose or create one, and a short guide.
// Choosing a vault is a settings change through the engine.
class WelcomeWindow : public QWidget {
    Q_OBJECT
  public:
    explicit WelcomeWindow(EngineClient& engine, QWidget* parent = nullptr);

    // Reads the current vault and whether a settings file exists (Done or Skip for now).
    void reload();
    // Makes `path` the vault under `name` (settings.set vaultPath and vaultName).
    void useVault(const QString& path, const QString& name);

    QLabel* vaultLine;
    QLabel* messageLine;
    QPushButton* customButton;
    QPushButton* createButton;
    QPushButton* doneButton;

  signals:
    void vaultChosen();
    void closed();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void createVault();
    EngineClient& engine_;
};

}  // namespace sayloft::tray
