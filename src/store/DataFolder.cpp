#include "DataFolder.h"

#include "SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <csignal>

#include <cerrno>
#include <cstring>

namespace sirano {

namespace {

QString folderMessage(const QString& folder, const Reason& reason) {
    const QString why = reasonText(reason, Language::English);
    if (folder.isEmpty())
        return why.left(1).toUpper() + why.mid(1) + QLatin1Char('.');
    return QStringLiteral("The data folder %1 cannot be created: %2.").arg(folder, why);
}

}  // namespace

DataFolderError::DataFolderError(QString folder, Reason reason)
    : SiranoError(err::kPathFileAccess, folderMessage(folder, reason)),
      folder_(std::move(folder)),
      reason_(std::move(reason)) {}

QString perUserDataFolder() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        throw DataFolderError({}, Reason{Reason::Kind::NoPerUserFolder});
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
    const QByteArray path = QFile::encodeName(QFileInfo(folder).absoluteFilePath());
    int made = ::mkdir(path.constData(), S_IRWXU);
    if (made != 0 && errno == ENOENT) {
        // Missing parents get the usual mode; the system's answer for the folder itself is the
        // one to report.
        QFileInfo(folder).absoluteDir().mkpath(QStringLiteral("."));
        made = ::mkdir(path.constData(), S_IRWXU);
    }
    if (made == 0)
        return;
    const int error = errno;
    // Another start may have made it in the meantime.
    if (error == EEXIST && QFileInfo(folder).isDir())
        return;
    throw DataFolderError(
        folder,
        Reason{Reason::Kind::FolderNotCreated, {}, QString::fromLocal8Bit(std::strerror(error))});
}

QString locateDataFolder(const QString& executableFolder) {
    const QString folder = dataFolderPath(executableFolder);
    createDataFolder(folder);
    return folder;
}

QString machineFolderFor(const QString& dataFile, const QString& executableFolder) {
    const QFileInfo file(dataFile);
    const QString folder = QDir::cleanPath(file.absolutePath());
    if (folder == QDir::cleanPath(QDir(executableFolder).absolutePath()) ||
        folder == QDir::cleanPath(perUserDataFolder()))
        return folder;
    const QByteArray key = QCryptographicHash::hash(
        QFile::encodeName(QDir::cleanPath(file.absoluteFilePath())), QCryptographicHash::Sha256);
    return QDir(perUserDataFolder())
        .filePath(QStringLiteral("elsewhere/") + QString::fromLatin1(key.toHex().left(16)));
}

QString makeMachineFolderFor(const QString& dataFile, const QString& executableFolder) {
    const QString folder = machineFolderFor(dataFile, executableFolder);
    const QString perUser = perUserDataFolder();
    if (folder == perUser || folder.startsWith(perUser + u'/')) {
        createDataFolder(perUser);
        createDataFolder(folder);
    }
    return folder;
}

FolderInUse::FolderInUse(const QString& folder)
    : SiranoError(err::kPathFileAccess,
                  QStringLiteral("SIRANO is running with the data folder %1 (or a sirano-cli "
                                 "command is writing there). Quit it first: it would overwrite "
                                 "the data file with its own copy.")
                      .arg(folder)) {}

namespace {

// QLockFile keeps the system's error to itself: a file of our own made the same way says it
// ("No space left on device", "Read-only file system", "Permission denied").
QString whyNoFileThere(const QString& folder) {
    const QByteArray probe = QFile::encodeName(QDir(folder).filePath(
        QStringLiteral(".sirano-probe-%1").arg(QCoreApplication::applicationPid())));
    const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        if (::write(fd, "0", 1) != 1)
            error = errno;
        ::close(fd);
        ::unlink(probe.constData());
    }
    return error ? QString::fromLocal8Bit(std::strerror(error))
                 : QStringLiteral("the lock file itself is refused");
}

}  // namespace

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
                    Reason{Reason::Kind::LockNotAllowed, {}, whyNoFileThere(folder)}};
        default:
            return {LockAttempt::Outcome::CannotWrite, nullptr,
                    Reason{Reason::Kind::LockNotWritable, {}, whyNoFileThere(folder)}};
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
    throw SiranoError(err::kPathFileAccess,
                      QStringLiteral("The lock file %1 cannot be made: %2. Nothing was written.")
                          .arg(QDir(folder).filePath(QLatin1String(kLockFileName)),
                               reasonText(attempt.reason, Language::English)));
}

bool DataFolderLock::heldBeside(const QString& dataFile, const QString& lockFolder) {
    const QString own = QFileInfo(dataFile).absolutePath();
    return QDir::cleanPath(own) != QDir::cleanPath(lockFolder) && heldInFolder(own);
}

bool DataFolderLock::heldInFolder(const QString& folder) {
    const QString path = QDir(folder).filePath(QLatin1String(kLockFileName));
    if (!QFileInfo::exists(path))
        return false;
    QLockFile file(path);
    qint64 pid = 0;
    QString host;
    QString application;
    if (!file.getLockInfo(&pid, &host, &application) || pid <= 0)
        return false;
    if (!host.isEmpty() && host != QSysInfo::machineHostName())
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace sirano
