#include "DataFolder.h"

#include "Error.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace sirano {

QString locateDataFolder(const QString& executableFolder) {
    if (!executableFolder.isEmpty() &&
        QFileInfo(QDir(executableFolder).filePath(QLatin1String(kDataFileName))).isFile())
        return QDir(executableFolder).absolutePath();

    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        throw SiranoError(err::kPathFileAccess,
                          QStringLiteral("There is no per-user data folder (is HOME set?)."));
    const QString folder = QDir(base).filePath(QStringLiteral("sirano"));
    if (QFileInfo(folder).isDir())
        return folder;
    const QDir parent(base);
    if (!parent.mkpath(QStringLiteral(".")) ||
        !parent.mkdir(QStringLiteral("sirano"),
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
        throw SiranoError(err::kPathFileAccess,
                          QStringLiteral("The data folder %1 cannot be created.").arg(folder));
    return folder;
}

std::unique_ptr<DataFolderLock> DataFolderLock::tryAcquire(const QString& folder) {
    auto lock = std::make_unique<QLockFile>(QDir(folder).filePath(QLatin1String(kLockFileName)));
    // Never stale by age: only a lock whose process is gone is taken over.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return nullptr;
    return std::unique_ptr<DataFolderLock>(new DataFolderLock(std::move(lock)));
}

bool DataFolderLock::isHeld(const QString& folder) {
    QLockFile lock(QDir(folder).filePath(QLatin1String(kLockFileName)));
    lock.setStaleLockTime(0);
    if (lock.tryLock(0)) {
        lock.unlock();
        return false;
    }
    return lock.error() == QLockFile::LockFailedError;
}

}  // namespace sirano
