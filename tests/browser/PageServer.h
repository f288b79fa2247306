// The fixture pages (tests/fixtures/pages) served on a loopback port by pageserver.py, started
// here and killed with the test.
#pragma once

#include <QProcess>
#include <QString>

namespace sirano::test {

// A test that dies (a failed check, a crash) must not leave the process behind.
void dieWithTheTest(QProcess& process);

class PageServer {
public:
    PageServer() = default;
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    // False (with the reason) when it does not come up.
    bool start(QString* why);
    QString url(const QString& path, const QString& host = QStringLiteral("127.0.0.1")) const;

private:
    QProcess server_;
    quint16 port_ = 0;
};

}  // namespace sirano::test
