#include "SettingsStore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryFile>

#include "Nimbo/Connection/platform/Exceptions.h"

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Nimbo::Demo {

using Connection::EConvertError;
using Connection::EFileError;

namespace {

const char* const KeyFolders = "Velmor Labs/Nimbokit 2017/Cumulo";
const char* const KeyName = "Cloudpane";

QString WithName(const QString& AText, const QString& AName) { return AText + " \"" + AName + "\""; }

#ifndef Q_OS_WIN
// The folders of the settings file, created readable by the owner only when they are missing.
void MakePrivateFolders(const QString& APath) {
    QDir dir;
    if (dir.exists(APath)) return;
    MakePrivateFolders(QFileInfo(APath).absolutePath());
    if (!dir.mkdir(APath) || !QFile::setPermissions(APath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        throw EFileError(WithName("Cannot create the settings folder", APath).toStdString());
}

void SyncToDisk(const QString& AFileName) {
    int fd = ::open(QFile::encodeName(AFileName).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

void WriteValues(const QString& AFileName, const QMap<QString, QVariant>& AValues) {
    QSettings settings(AFileName, QSettings::IniFormat);
    for (auto it = AValues.begin(); it != AValues.end(); ++it) settings.setValue(it.key(), it.value());
    settings.sync();
    if (settings.status() != QSettings::NoError) throw EFileError("Cannot write the settings");
}
#endif

}  // namespace

QString TSettingsKey::DefaultLocation(bool ASandbox) {
    QString name = QString(KeyName) + (ASandbox ? " Sandbox" : "");
#ifdef Q_OS_WIN
    QString path = QString("HKEY_CURRENT_USER\\SOFTWARE\\") + KeyFolders + "\\" + name;
    return path.replace('/', '\\');
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/" + KeyFolders + "/" + name +
           ".conf";
#endif
}

TSettingsKey::TSettingsKey(QString ALocation) : FLocation(std::move(ALocation)) {}

bool TSettingsKey::Open() {
    FValues.clear();
#ifdef Q_OS_WIN
    QSettings settings(FLocation, QSettings::NativeFormat);
    if (settings.childKeys().isEmpty() && settings.childGroups().isEmpty()) return false;
#else
    if (!QFileInfo::exists(FLocation)) return false;
    QSettings settings(FLocation, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError || !QFileInfo(FLocation).isReadable())
        throw EFileError(WithName("Cannot read the settings file", FLocation).toStdString());
#endif
    for (const QString& name : settings.childKeys()) FValues[name] = settings.value(name);
    return true;
}

QString TSettingsKey::ReadString(const QString& AName) const {
    QVariant value = FValues.value(AName);
    if (value.typeId() != QMetaType::QString)
        throw EConvertError(WithName("Invalid data type for", AName).toStdString());
    return value.toString();
}

QByteArray TSettingsKey::ReadBinary(const QString& AName) const {
    QVariant value = FValues.value(AName);
    if (value.typeId() != QMetaType::QByteArray)
        throw EConvertError(WithName("Invalid data type for", AName).toStdString());
    return value.toByteArray();
}

void TSettingsKey::Commit() const {
#ifdef Q_OS_WIN
    QSettings settings(FLocation, QSettings::NativeFormat);
    for (auto it = FValues.begin(); it != FValues.end(); ++it) settings.setValue(it.key(), it.value());
    for (const QString& name : FRemoved) settings.remove(name);
    settings.sync();
    if (settings.status() != QSettings::NoError) throw EFileError("Cannot write the settings");
#else
    // The new settings go into a private temporary file next to the old ones, which it replaces in
    // one step once it is complete and on disk.
    QString folder = QFileInfo(FLocation).absolutePath();
    MakePrivateFolders(folder);
    QTemporaryFile temp(folder + "/." + QFileInfo(FLocation).fileName() + ".XXXXXX");
    if (!temp.open()) throw EFileError(WithName("Cannot write the settings file", FLocation).toStdString());
    temp.close();

    QMap<QString, QVariant> values;
    if (QFileInfo::exists(FLocation)) {
        QSettings old(FLocation, QSettings::IniFormat);
        for (const QString& name : old.childKeys()) values[name] = old.value(name);
    }
    for (auto it = FValues.begin(); it != FValues.end(); ++it) values[it.key()] = it.value();
    for (const QString& name : FRemoved) values.remove(name);
    WriteValues(temp.fileName(), values);

    if (!QFile::setPermissions(temp.fileName(), QFile::ReadOwner | QFile::WriteOwner))
        throw EFileError(WithName("Cannot protect the settings file", FLocation).toStdString());
    SyncToDisk(temp.fileName());
    if (std::rename(QFile::encodeName(temp.fileName()).constData(), QFile::encodeName(FLocation).constData()) != 0)
        throw EFileError(
            (WithName("Cannot write the settings file", FLocation) + ": " + std::strerror(errno)).toStdString());
    temp.setAutoRemove(false);
    SyncToDisk(folder);
#endif
}

}  // namespace Nimbo::Demo
