#include "TokenStore.h"

#include <qt6keychain/keychain.h>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QEventLoop>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Demo {

using namespace Nimbo::Connection;

namespace {

const QString KeychainService = "Cloudpane";
const QString SecretServiceName = "org.freedesktop.secrets";

// Runs a keychain job to its end; the keychain answers through the session bus.
void RunJob(QKeychain::Job& AJob) {
    AJob.setAutoDelete(false);
    QEventLoop loop;
    QObject::connect(&AJob, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    AJob.start();
    loop.exec();
}

[[noreturn]] void Fail(const QString& AWhat, const QKeychain::Job& AJob) {
    throw EFileError((AWhat + " in the system keychain: " + AJob.errorString()).toStdString());
}

}  // namespace

TTokenStore::TTokenStore(QString ALocation, bool AUseKeychain)
    : FLocation(std::move(ALocation)), FInKeychain(AUseKeychain && SecretServiceAvailable()) {}

QString TTokenStore::Description() const {
    return FInKeychain
               ? "Sign-ins are kept in the system keychain; the other options in a settings file only you can read."
               : "Options and sign-ins will be stored in a settings file only you can read.";
}

bool TTokenStore::SecretServiceAvailable() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) return false;
    if (bus.interface()->isServiceRegistered(SecretServiceName)) return true;
    QDBusReply<QStringList> activatable = bus.interface()->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(SecretServiceName);
}

QString TTokenStore::Key(const QString& APrefix) const { return FLocation + "#" + APrefix; }

std::optional<QByteArray> TTokenStore::Read(const QString& APrefix) const {
    QKeychain::ReadPasswordJob job(KeychainService);
    job.setKey(Key(APrefix));
    RunJob(job);
    if (job.error() == QKeychain::EntryNotFound) return std::nullopt;
    if (job.error() != QKeychain::NoError) Fail("Cannot read a sign-in", job);
    return job.binaryData();
}

void TTokenStore::Write(const QString& APrefix, const QByteArray& AState) const {
    QKeychain::WritePasswordJob job(KeychainService);
    job.setKey(Key(APrefix));
    job.setBinaryData(AState);
    RunJob(job);
    if (job.error() != QKeychain::NoError) Fail("Cannot keep a sign-in", job);
}

void TTokenStore::Remove(const QString& APrefix) const {
    QKeychain::DeletePasswordJob job(KeychainService);
    job.setKey(Key(APrefix));
    RunJob(job);
    if (job.error() != QKeychain::NoError && job.error() != QKeychain::EntryNotFound)
        Fail("Cannot remove a sign-in", job);
}

}  // namespace Nimbo::Demo
