#include "tray_places.hpp"

#include <QUrl>
#include <filesystem>

#include "app/engine_host.hpp"
#include "core/places.hpp"

namespace sayloft::tray {

QString windowStatePath() {
    return QString::fromStdString((core::stateDir() / "tray-windows.ini").string());
}

QString trayInstancePath() {
    auto dir = core::runtimeDir();
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    return QString::fromStdString((dir / "tray.sock").string());
}

QString engineSocketPath() {
    return QString::fromStdString(app::EngineAddress{}.socketPath().string());
}

QString pathFromFileUrl(const QString& text) {
    if (!text.startsWith("file:")) return text;
    return QUrl::fromEncoded(text.toUtf8()).toLocalFile();
}

}  // namespace sayloft::tray
