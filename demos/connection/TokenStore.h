#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace Nimbo::Demo {

// Where the services' sign-ins (their saved states, which hold the tokens) are kept: the system
// keychain through QtKeychain where a Secret Service runs on the session bus, else the owner-only
// settings file beside the other values. Entries are named after the settings location, so that
// the sandbox's and each test's sign-ins stay apart from the real ones.
class TTokenStore {
public:
    // AUseKeychain false: always the settings file.
    TTokenStore(QString ALocation, bool AUseKeychain);

    bool InKeychain() const { return FInKeychain; }
    // Where the sign-ins are kept, in words for the Options dialog.
    QString Description() const;

    // The saved state of the service with the value-name prefix APrefix; nothing when the keychain
    // holds none. The three raise EFileError naming the keychain's complaint when it fails.
    std::optional<QByteArray> Read(const QString& APrefix) const;
    void Write(const QString& APrefix, const QByteArray& AState) const;
    void Remove(const QString& APrefix) const;

    // True when a Secret Service is running or can be started on the session bus.
    static bool SecretServiceAvailable();

private:
    QString Key(const QString& APrefix) const;

    QString FLocation;
    bool FInKeychain;
};

}  // namespace Nimbo::Demo
