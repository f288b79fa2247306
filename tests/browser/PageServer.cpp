#include "PageServer.h"

#include <sys/prctl.h>
#include <QElapsedTimer>
#include <csignal>

namespace sirano::test {

void dieWithTheTest(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

PageServer::~PageServer() {
    if (server_.state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(server_.processId()), SIGKILL);
        server_.waitForFinished(5000);
    }
}

bool PageServer::start(QString* why) {
    server_.setProgram(QStringLiteral("python3"));
    server_.setArguments({QStringLiteral(SIRANO_FIXTURES "/pageserver.py"),
                          QStringLiteral(SIRANO_FIXTURES "/pages")});
    server_.setProcessChannelMode(QProcess::SeparateChannels);
    dieWithTheTest(server_);
    server_.start();
    if (!server_.waitForStarted(5000)) {
        *why = QStringLiteral("the page server (python3) did not start");
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (!server_.canReadLine() && clock.elapsed() < 10000)
        server_.waitForReadyRead(200);
    port_ = static_cast<quint16>(server_.readLine().trimmed().toUInt());
    if (port_ == 0) {
        *why = QStringLiteral("the page server did not say its port");
        return false;
    }
    return true;
}

QString PageServer::url(const QString& path, const QString& host) const {
    return QStringLiteral("http://%1:%2/%3").arg(host).arg(port_).arg(path);
}

}  // namespace sirano::test
