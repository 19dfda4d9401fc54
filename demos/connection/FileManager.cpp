#include "FileManager.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#ifdef Q_OS_WIN
#include <QProcess>
#else
#include <QDBusConnection>
#include <QDBusMessage>
#endif

namespace Nimbo::Demo {

namespace {

#ifndef Q_OS_WIN
bool ShowItemsOverDBus(const QString& AFileName) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{QUrl::fromLocalFile(AFileName).toString()} << QString();
    // Starting a file manager that is not running yet can take a few seconds.
    return bus.call(call, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}
#endif

}  // namespace

void ShowInFileManager(const QString& AFileName) {
    QString path = QFileInfo(AFileName).absoluteFilePath();
#ifdef Q_OS_WIN
    QProcess explorer;
    explorer.setProgram("explorer.exe");
    explorer.setNativeArguments("/select,\"" + QDir::toNativeSeparators(path) + "\"");
    explorer.startDetached();
#else
    if (ShowItemsOverDBus(path)) return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
#endif
}

}  // namespace Nimbo::Demo
