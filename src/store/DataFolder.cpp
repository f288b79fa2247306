#include "DataFolder.h"

#include "SafeFile.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace sirano {

QString perUserDataFolder() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        throw SiranoError(err::kPathFileAccess,
                          QStringLiteral("There is no per-user data folder (is HOME set?)."));
    return QDir(base).filePath(QStringLiteral("sirano"));
}

QString dataFolderPath(const QString& executableFolder) {
    if (!executableFolder.isEmpty() &&
        QFileInfo(QDir(executableFolder).filePath(QLatin1String(kDataFileName))).isFile())
        return QDir(executableFolder).absolutePath();
    return perUserDataFolder();
}

void createDataFolder(const QString& folder) {
    if (QFileInfo(folder).isDir())
        return;
    const QFileInfo info(folder);
    const QDir parent = info.absoluteDir();
    if (!parent.mkpath(QStringLiteral(".")) ||
        !parent.mkdir(info.fileName(),
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
        throw SiranoError(err::kPathFileAccess,
                          QStringLiteral("The data folder %1 cannot be created.").arg(folder));
}

QString locateDataFolder(const QString& executableFolder) {
    const QString folder = dataFolderPath(executableFolder);
    createDataFolder(folder);
    return folder;
}

FolderInUse::FolderInUse(const QString& folder)
    : SiranoError(err::kPathFileAccess,
                  QStringLiteral("SIRANO is running with the data folder %1 (or a sirano-cli "
                                 "command is writing there). Quit it first: it would overwrite "
                                 "the data file with its own copy.")
                      .arg(folder)) {}

LockAttempt DataFolderLock::acquire(const QString& folder) {
    auto file = std::make_unique<QLockFile>(QDir(folder).filePath(QLatin1String(kLockFileName)));
    // Never stale by age: only a lock whose process is gone is taken over.
    file->setStaleLockTime(0);
    if (file->tryLock(0)) {
        removeStaleTemporaries(folder, QLatin1String(kDataFileName));
        return {LockAttempt::Outcome::Taken,
                std::unique_ptr<DataFolderLock>(new DataFolderLock(std::move(file))),
                {}};
    }
    switch (file->error()) {
        case QLockFile::LockFailedError:
            return {LockAttempt::Outcome::HeldByLiveProcess, nullptr, {}};
        case QLockFile::PermissionError:
            return {LockAttempt::Outcome::CannotWrite, nullptr,
                    QStringLiteral("the folder does not allow it")};
        default:
            return {LockAttempt::Outcome::CannotWrite, nullptr,
                    QStringLiteral("it cannot be created or written (a missing folder, a full "
                                   "disk?)")};
    }
}

std::unique_ptr<DataFolderLock> DataFolderLock::tryAcquire(const QString& folder) {
    return acquire(folder).lock;
}

std::unique_ptr<DataFolderLock> DataFolderLock::forWriting(const QString& folder,
                                                           const Taker& take) {
    LockAttempt attempt = take(folder);
    switch (attempt.outcome) {
        case LockAttempt::Outcome::Taken:
            return std::move(attempt.lock);
        case LockAttempt::Outcome::HeldByLiveProcess:
            throw FolderInUse(folder);
        case LockAttempt::Outcome::CannotWrite:
            break;
    }
    throw SiranoError(
        err::kPathFileAccess,
        QStringLiteral("The lock file %1 cannot be made: %2. Nothing was written.")
            .arg(QDir(folder).filePath(QLatin1String(kLockFileName)), attempt.reason));
}

}  // namespace sirano
