// Runs sirano-cli (or another program) as a user would: with its own environment, so that the
// real data folder is never seen, and standard input given up front.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <utility>

namespace sirano::test {

struct CliResult {
    int exitCode = -1;  // -1: the process crashed
    QByteArray out;
    QByteArray err;
};

struct CliRun {
    explicit CliRun(QStringList a, QByteArray in = {}, QHash<QString, QString> e = {})
        : args(std::move(a)), input(std::move(in)), env(std::move(e)) {}

    QStringList args;
    QByteArray input;
    QHash<QString, QString> env;  // set on top of this process's environment
    QStringList unset;            // taken out of it
    QString program = QStringLiteral(SIRANO_CLI_PATH);
    int timeoutMs = 60000;
};

inline CliResult runCli(const CliRun& run) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = run.env.cbegin(); it != run.env.cend(); ++it)
        env.insert(it.key(), it.value());
    for (const QString& name : run.unset)
        env.remove(name);
    p.setProcessEnvironment(env);
    p.start(run.program, run.args);
    if (!p.waitForStarted())
        qFatal("%s does not start", qPrintable(run.program));
    p.write(run.input);
    p.closeWriteChannel();
    if (!p.waitForFinished(run.timeoutMs))
        qFatal("%s hangs", qPrintable(run.program));
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

inline CliResult runCli(const QStringList& args, const QByteArray& input, const QString& dataHome) {
    return runCli(CliRun{args, input, {{QStringLiteral("XDG_DATA_HOME"), dataHome}}});
}

}  // namespace sirano::test
