#pragma once

#include <QString>

namespace Nimbo::Demo {

// Asks the system's file manager to show a local file selected: on Linux through the freedesktop
// file-manager interface on the session bus, falling back to opening the file's folder.
void ShowInFileManager(const QString& AFileName);

}  // namespace Nimbo::Demo
