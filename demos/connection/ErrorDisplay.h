#pragma once

#include <exception>
#include <functional>

#include <QString>

class QWidget;

namespace Nimbo::Demo {

// An error as a person reads it: what went wrong, what to do next, and the technical details
// (status, the service's answer) for those who ask.
struct TReadableError {
    QString Message;
    QString Advice;   // may be empty
    QString Details;  // may be empty
};

// The service's own message where its answer has one (percent-encoding decoded), else a sentence
// for the status; the advice follows from the kind of failure.
TReadableError ReadableError(const std::exception& AError);
// AText with percent-encoding (and "+" for a space) decoded when it reads as encoded: no blanks and
// at least one escape. Other text is returned as it is.
QString DecodedText(const QString& AText);

// The program's error display: shows an error in a message box (details behind a button) and lets
// the program go on. The silent abort (a sign-in or a transfer the user cancelled) shows nothing.
void ShowError(const std::exception& AError);
void ShowErrorMessage(const QString& AMessage, const QString& AAdvice = {}, const QString& ADetails = {});

// Runs AHandler and shows whatever error escapes it; returns true when it ended normally.
bool RunHandler(const std::function<void()>& AHandler);

}  // namespace Nimbo::Demo
