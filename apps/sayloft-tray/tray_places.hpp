#pragma once

#include <QString>

namespace sayloft::tray {

// Where the tray keeps its window places (below the state folder).
QString windowStatePath();
// The engine's control socket.
QString engineSocketPath();
// A file URL ("file:///...") as a path; other text unchanged.
QString pathFromFileUrl(const QString& text);

}  // namespace sayloft::tray
