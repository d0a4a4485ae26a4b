#pragma once

#include <QString>

namespace sayloft::tray {

// Where the tray keeps its window places (below the state folder).
QString windowStatePath();
// Where a running tray listens for a second start's "--show" (one tray per user).
QString trayInstancePath();
// The engine's control socket.
QString engineSocketPath();
// A file URL ("file:///...") as a path; other text unchanged.
QString pathFromFileUrl(const QString& text);

}  // namespace sayloft::tray
