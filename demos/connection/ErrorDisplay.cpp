#include "ErrorDisplay.h"

#include <QApplication>
#include <QMessageBox>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Demo {

void ShowErrorMessage(const QString& AMessage) {
    QWidget* parent = QApplication::activeModalWidget();
    if (parent == nullptr) parent = QApplication::activeWindow();
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), AMessage, QMessageBox::Ok, parent);
    box.setObjectName("ErrorMessageBox");
    box.exec();
}

void ShowError(const std::exception& AError) {
    if (dynamic_cast<const Connection::EAbort*>(&AError) != nullptr) return;
    ShowErrorMessage(QString::fromUtf8(AError.what()));
}

bool RunHandler(const std::function<void()>& AHandler) {
    try {
        AHandler();
        return true;
    } catch (const std::exception& error) {
        ShowError(error);
    } catch (...) {
        ShowErrorMessage(QStringLiteral("Unknown error"));
    }
    return false;
}

}  // namespace Nimbo::Demo
