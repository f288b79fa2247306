#include "ChromiumLauncher.h"

#include "browser/ObjectModel.h"

#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace sirano {
namespace {

// Makes the folder and every missing one above it for the owner alone (0700), as the data folder
// is made: a data folder named with --data holds the profile, and both hold secrets. 0 or errno.
int makeOwnFolders(const QString& folder) {
    const QString path = QDir::cleanPath(QDir(folder).absolutePath());
    qsizetype from = 1;
    for (;;) {
        const qsizetype slash = path.indexOf(u'/', from);
        const QString part = slash < 0 ? path : path.left(slash);
        if (::mkdir(QFile::encodeName(part).constData(), 0700) != 0 && errno != EEXIST)
            return errno;
        if (slash < 0)
            return QFileInfo(path).isDir() ? 0 : ENOTDIR;
        from = slash + 1;
    }
}

}  // namespace

QStringList chromiumArguments(const QString& profileFolder, quint16 port,
                              const QStringList& extraArgs) {
    QStringList args{QStringLiteral("--user-data-dir=") + profileFolder,
                     QStringLiteral("--remote-debugging-port=%1").arg(port),
                     QStringLiteral("--no-first-run"),
                     QStringLiteral("--no-default-browser-check")};
    if (::geteuid() == 0)
        args << QStringLiteral("--no-sandbox");  // Chromium refuses to run as root otherwise
    args << extraArgs;
    return args;
}

qint64 startChromium(const LaunchOptions& options, const QString& profileFolder, quint16 port) {
    QString program;
    for (const QString& candidate : options.programs) {
        const QString found = QFileInfo(candidate).isAbsolute()
                                  ? (QFileInfo(candidate).isExecutable() ? candidate : QString())
                                  : QStandardPaths::findExecutable(candidate);
        if (!found.isEmpty()) {
            program = found;
            break;
        }
    }
    if (program.isEmpty()) {
        throw SiranoError(err::kCannotCreateObject,
                          QStringLiteral("No Chromium found (tried %1).")
                              .arg(options.programs.join(QStringLiteral(", "))));
    }
    if (const int error = makeOwnFolders(profileFolder)) {
        throw SiranoError(err::kCannotCreateObject,
                          QStringLiteral("Cannot create the browser profile folder %1: %2.")
                              .arg(profileFolder, QString::fromLocal8Bit(std::strerror(error))));
    }
    QFile::setPermissions(profileFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QProcess process;
    process.setProgram(program);
    process.setArguments(chromiumArguments(profileFolder, port, options.extraArgs));
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid)) {
        throw SiranoError(err::kCannotCreateObject,
                          QStringLiteral("Chromium (%1) could not be started.").arg(program));
    }
    return pid;
}

bool processRunning(qint64 pid) {
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH))
        return false;
    // A detached process belongs to whoever adopts it, which may never reap it.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.read(4096);
    const qsizetype name = text.lastIndexOf(')');
    const char state = name >= 0 && name + 2 < text.size() ? text[name + 2] : 'R';
    return state != 'Z' && state != 'X';
}

}  // namespace sirano
