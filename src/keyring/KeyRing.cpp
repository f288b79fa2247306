#include "KeyRing.h"

#include <qt6keychain/keychain.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

namespace sirano {
namespace {

const QString kService = QStringLiteral("SIRANO");
const QString kSecretService = QStringLiteral("org.freedesktop.secrets");
// A keyring that asks its user to unlock it may take long; one that never answers must not
// hold the tray for good.
constexpr int kAnswerLimitMs = 120'000;

// Runs job and waits for its end; true when it ended without an error.
bool finish(QKeychain::Job& job) {
    job.setAutoDelete(false);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kAnswerLimitMs, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
    return job.error() == QKeychain::NoError;
}

}  // namespace

QString dataFileKeyEntry(const QString& dataFilePath) {
    return QStringLiteral("key of the data file %1")
        .arg(QFileInfo(dataFilePath).absoluteFilePath());
}

bool SecretServiceKeyRing::available() {
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    if (!bus)
        return false;
    if (bus->isServiceRegistered(kSecretService))
        return true;
    const QDBusReply<QStringList> activatable = bus->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kSecretService);
}

std::optional<QString> SecretServiceKeyRing::store(const QString& name, const QByteArray& secret) {
    QKeychain::WritePasswordJob job(kService);
    job.setInsecureFallback(false);
    job.setKey(name);
    job.setBinaryData(secret);
    if (finish(job))
        return std::nullopt;
    return job.errorString().isEmpty() ? QStringLiteral("the keyring did not answer")
                                       : job.errorString();
}

std::optional<QByteArray> SecretServiceKeyRing::read(const QString& name) {
    QKeychain::ReadPasswordJob job(kService);
    job.setInsecureFallback(false);
    job.setKey(name);
    if (!finish(job))
        return std::nullopt;
    return job.binaryData();
}

void SecretServiceKeyRing::remove(const QString& name) {
    QKeychain::DeletePasswordJob job(kService);
    job.setInsecureFallback(false);
    job.setKey(name);
    finish(job);
}

}  // namespace sirano
