#pragma once

#include <exception>
#include <functional>

#include <QString>

class QWidget;

namespace Nimbo::Demo {

// The program's error display: shows an error's message in a message box and lets the program go
// on. The silent abort (a sign-in or a transfer the user cancelled) shows nothing.
void ShowError(const std::exception& AError);
void ShowErrorMessage(const QString& AMessage);

// Runs AHandler and shows whatever error escapes it; returns true when it ended normally.
bool RunHandler(const std::function<void()>& AHandler);

}  // namespace Nimbo::Demo
