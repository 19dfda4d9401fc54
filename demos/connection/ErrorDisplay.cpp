#include "ErrorDisplay.h"

#include <optional>
#include <utility>

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QRegularExpression>
#include <QUrl>

#include "Nimbo/Connection/OAuthClient.h"
#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Demo {

using namespace Nimbo::Connection;

namespace {

QString FromStd(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}

QString Sentence(QString AText) {
    AText = AText.trimmed();
    if (AText.isEmpty()) return AText;
    AText[0] = AText[0].toUpper();
    if (!AText.endsWith('.') && !AText.endsWith('!') && !AText.endsWith('?')) AText += '.';
    return AText;
}

QString StringAt(const QJsonObject& AObject, const char* AName) {
    QJsonValue value = AObject.value(AName);
    return value.isString() ? value.toString() : QString();
}

// The message a service's error answer carries, in the shapes the services use; empty when none.
QString ServiceMessage(const std::string& ABody) {
    QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(ABody));
    if (!document.isObject()) {
        QString text = FromStd(ABody).trimmed();
        bool plain = !text.isEmpty() && text.size() <= 200 && !text.contains('<') && !text.contains('{');
        return plain ? text : QString();
    }
    QJsonObject answer = document.object();
    QJsonObject error = answer.value("error").toObject();
    for (const QString& text :
         {StringAt(answer, "error_description"), StringAt(answer.value("user_message").toObject(), "text"),
          StringAt(error, "message"), StringAt(answer, "message"), StringAt(answer, "error")})
        if (!text.trimmed().isEmpty()) return DecodedText(text);
    return {};
}

struct TStatusText {
    QString Message;
    QString Advice;
};

TStatusText ForStatus(int ACode) {
    switch (ACode) {
        case 400:
            return {"The service did not accept the request.", "Check the name or the file, then try again."};
        case 401:
            return {"The sign-in is no longer valid.", "Sign in again: choose the service from the Services menu."};
        case 403:
            return {"The service refused access to this item.",
                    "Check that the account may do this; if access was withdrawn, sign in again."};
        case 404:
            return {"The item is no longer there.", "Click Refresh to see the folder as it is now."};
        case 409:
            return {"An item of that name is already there.",
                    "Choose another name, or rename or delete the existing item first."};
        case 413:
        case 507:
            return {"There is not enough space for this.", "Free some space on the service, or try a smaller file."};
        case 429:
            return {"The service asks to slow down.", "Wait a minute, then try again."};
        default:
            if (ACode >= 500) return {"The service is unavailable at the moment.", "Try again later."};
            return {"The service refused the request.", "Try again; if it fails again, click Refresh."};
    }
}

// Dropbox words an error of a call as a chain of tags ("path/not_found/..") under one status for
// all of them: the tags pick the text (the chain itself goes to the details).
std::optional<TStatusText> ForTags(const std::string& ABody) {
    QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(ABody));
    QString summary = StringAt(document.object(), "error_summary");
    if (summary.isEmpty()) return std::nullopt;
    static const std::pair<const char*, int> tags[] = {{"not_found", 404},
                                                       {"conflict", 409},
                                                       {"insufficient_space", 507},
                                                       {"insufficient_quota", 507},
                                                       {"no_write_permission", 403},
                                                       {"access_denied", 403},
                                                       {"malformed_path", 400},
                                                       {"disallowed_name", 400},
                                                       {"too_many_write_operations", 429}};
    const QStringList parts = summary.split('/');
    for (auto [tag, code] : tags)
        if (parts.contains(tag)) return ForStatus(code);
    return ForStatus(0);
}

TReadableError FromAnswer(const EHttpProtocolError& AError) {
    TStatusText status = ForTags(AError.ErrorMessage()).value_or(ForStatus(AError.ErrorCode()));
    QString service;
    if (auto* oauth = dynamic_cast<const EOAuthError*>(&AError)) {
        service = DecodedText(FromStd(oauth->Description()));
        if (service.isEmpty()) service = FromStd(oauth->Error());
        if (oauth->Error() == "invalid_grant" || AError.ErrorCode() == 401)
            status.Advice = "Sign in again: choose the service from the Services menu.";
    } else {
        service = ServiceMessage(AError.ErrorMessage());
    }
    static const QRegularExpression noSpace("quota|storage|space|insufficient",
                                            QRegularExpression::CaseInsensitiveOption);
    if (noSpace.match(service).hasMatch() || noSpace.match(FromStd(AError.ErrorMessage())).hasMatch())
        status.Advice = "Free some space on the service, or try a smaller file.";
    QString details = "Status: " + QString::number(AError.ErrorCode());
    if (!AError.StatusText().empty()) details += " " + FromStd(AError.StatusText());
    if (!AError.ErrorMessage().empty()) details += "\nAnswer: " + FromStd(AError.ErrorMessage());
    return {service.isEmpty() ? status.Message : Sentence(service), status.Advice, details};
}

}  // namespace

QString DecodedText(const QString& AText) {
    static const QRegularExpression escape("%[0-9A-Fa-f]{2}");
    if (AText.contains(QRegularExpression("\\s")) || !AText.contains(escape)) return AText;
    QString text = AText;
    text.replace('+', ' ');
    return QUrl::fromPercentEncoding(text.toUtf8());
}

TReadableError ReadableError(const std::exception& AError) {
    if (auto* answer = dynamic_cast<const EHttpProtocolError*>(&AError)) return FromAnswer(*answer);
    QString what = DecodedText(FromStd(AError.what()));
    if (dynamic_cast<const ETransportError*>(&AError))
        return {"The service could not be reached.", "Check the network connection, then try again.", what};
    if (dynamic_cast<const EFileError*>(&AError))
        return {
            Sentence(what), "Check that the folder exists, that you may write there and that the disk has room.", {}};
    if (dynamic_cast<const EAssertionFailed*>(&AError) || dynamic_cast<const EInvalidCast*>(&AError))
        return {"Cloudpane could not finish this.", "Try again; if it fails again, click Refresh.", what};
    if (what.contains("denied", Qt::CaseInsensitive))
        return {Sentence(what), "To use this service, sign in again and allow access.", {}};
    return {Sentence(what), {}, {}};
}

void ShowErrorMessage(const QString& AMessage, const QString& AAdvice, const QString& ADetails) {
    QWidget* parent = QApplication::activeModalWidget();
    if (parent == nullptr) parent = QApplication::activeWindow();
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), AMessage, QMessageBox::Ok, parent);
    box.setObjectName("ErrorMessageBox");
    box.setInformativeText(AAdvice);
    box.setDetailedText(ADetails);
    box.exec();
}

void ShowError(const std::exception& AError) {
    if (dynamic_cast<const EAbort*>(&AError) != nullptr) return;
    TReadableError error = ReadableError(AError);
    ShowErrorMessage(error.Message, error.Advice, error.Details);
}

bool RunHandler(const std::function<void()>& AHandler) {
    try {
        AHandler();
        return true;
    } catch (const std::exception& error) {
        ShowError(error);
    } catch (...) {
        ShowErrorMessage(QStringLiteral("Something went wrong that Cloudpane does not know."));
    }
    return false;
}

}  // namespace Nimbo::Demo
