#pragma once

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QString>
#include <QVariant>

namespace Nimbo::Demo {

// The per-user settings key of the program: named text and binary values directly in one key.
//
// On Windows the key is "SOFTWARE\Velmor Labs\Nimbokit 2017\Cumulo\Cloudpane" under
// HKEY_CURRENT_USER. Elsewhere it is a settings file whose path mirrors the key path below the
// user's configuration folder (".../Velmor Labs/Nimbokit 2017/Cumulo/Cloudpane.conf"); text values
// are stored as text and binary values as binary. The file holds secrets and tokens: it is
// readable by its owner only, and it is replaced atomically, so a failed write leaves the previous
// settings as they were.
class TSettingsKey {
public:
    // The file (or registry path) of the program's settings; the sandbox keeps its own apart.
    static QString DefaultLocation(bool ASandbox);

    explicit TSettingsKey(QString ALocation);

    const QString& Location() const { return FLocation; }

    // Reads the key; false when it does not exist. Raises EFileError when it exists but cannot be
    // read.
    bool Open();

    bool ValueExists(const QString& AName) const { return FValues.contains(AName); }
    // Raise EConvertError when the value is not of the asked kind.
    QString ReadString(const QString& AName) const;
    QByteArray ReadBinary(const QString& AName) const;

    void WriteString(const QString& AName, const QString& AValue) {
        FValues[AName] = AValue;
        FRemoved.remove(AName);
    }
    void WriteBinary(const QString& AName, const QByteArray& AValue) {
        FValues[AName] = AValue;
        FRemoved.remove(AName);
    }
    // Takes the value out of the key at the next Commit.
    void Remove(const QString& AName) {
        FValues.remove(AName);
        FRemoved.insert(AName);
    }
    bool HasRemovals() const { return !FRemoved.isEmpty(); }

    // Stores every value, creating the key when missing; values of the key that were neither
    // written nor removed stay. Raises EFileError when the settings cannot be written; they are then unchanged.
    void Commit() const;

private:
    QString FLocation;
    QMap<QString, QVariant> FValues;
    QSet<QString> FRemoved;
};

}  // namespace Nimbo::Demo
