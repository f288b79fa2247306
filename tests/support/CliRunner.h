// Runs sirano-cli as a user would, with its own data home so the real data folder is never seen.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace sirano::test {

struct CliResult {
    int exitCode = -1;  // -1: the process crashed
    QByteArray out;
    QByteArray err;
};

inline CliResult runCli(const QStringList& args, const QByteArray& input, const QString& dataHome) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(SIRANO_CLI_PATH), args);
    if (!p.waitForStarted())
        qFatal("sirano-cli does not start");
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000))
        qFatal("sirano-cli hangs");
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

}  // namespace sirano::test
