// The link to the browser before any Chromium is involved: whose listener a port is, the browser's
// /json/version answer, and the command line a browser is started with.
#include "ChromiumHarness.h"
#include "browser/devtools/BrowserEndpoint.h"
#include "browser/devtools/ChromiumBrowser.h"
#include "browser/devtools/ChromiumLauncher.h"
#include "browser/devtools/PortOwnership.h"
#include "support/Files.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSysInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <csignal>
#include <thread>

using namespace sirano;
using namespace sirano::test;
using namespace std::chrono_literals;

namespace {

// A loopback server for one connection: reads the request, then sends each part 100 ms after the
// one before, and then closes or keeps the connection open until the client goes.
class ScriptedServer {
public:
    ScriptedServer(QByteArrayList parts, bool close)
        : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (::bind(listener_, raw, size) != 0 || ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, raw, &size) != 0)
            qFatal("cannot listen on loopback");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, parts = std::move(parts), close] { serve(parts, close); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    quint16 port() const { return port_; }

private:
    bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        while (!stop_) {
            if (::poll(&p, 1, 50) > 0)
                return true;
        }
        return false;
    }
    void serve(const QByteArrayList& parts, bool close) {
        if (!readable(listener_))
            return;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        QByteArray request;
        char buffer[4096];
        while (!request.contains("\r\n\r\n") && readable(client)) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            request.append(buffer, n);
        }
        for (qsizetype i = 0; i < parts.size() && !stop_; ++i) {
            if (i > 0)
                std::this_thread::sleep_for(100ms);
            ::send(client, parts[i].constData(), static_cast<size_t>(parts[i].size()),
                   MSG_NOSIGNAL);
        }
        // Kept open: until the client closes its end.
        while (!close && readable(client) && ::recv(client, buffer, sizeof buffer, 0) > 0) {
        }
        ::close(client);
    }

    int listener_;
    quint16 port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

QByteArray versionBody(const QByteArray& debuggerUrl) {
    return R"({"Browser":"Chrome/1.0","webSocketDebuggerUrl":")" + debuggerUrl + R"("})";
}

QByteArray header(qsizetype contentLength) {
    QByteArray text = "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=UTF-8\r\n";
    if (contentLength >= 0)
        text += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    return text + "\r\n";
}

// A listener of another user (nobody), started as root; it says "connected" for each connection.
class OtherUsersListener {
public:
    bool start() {
        process_.setProgram(QStringLiteral("python3"));
        process_.setArguments({QStringLiteral("-c"), QStringLiteral(R"(
import os, socket, sys
os.setgroups([]); os.setgid(65534); os.setuid(65534)
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(8)
print(s.getsockname()[1], flush=True)
while True:
    c, _ = s.accept(); print("connected", flush=True)
)")});
        process_.start();
        if (!process_.waitForReadyRead(10000))
            return false;
        port_ = static_cast<quint16>(process_.readLine().trimmed().toUInt());
        return port_ != 0;
    }
    ~OtherUsersListener() {
        process_.kill();
        process_.waitForFinished(5000);
    }
    quint16 port() const { return port_; }
    bool connected() {
        process_.waitForReadyRead(300);
        return process_.readAll().contains("connected");
    }

private:
    QProcess process_;
    quint16 port_ = 0;
};

}  // namespace

class BrowserLinkTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listenerUids_data() {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QList<uint>>("uids");
        if (QSysInfo::ByteOrder != QSysInfo::LittleEndian)
            QSKIP("the fixtures are in the little-endian form of /proc/net/tcp");
        // As the kernel prints them; port 9222 = 0x2406.
        const QByteArray v4 =
            "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
            "timeout inode\n";
        const QByteArray v6 =
            "  sl  local_address                         remote_address                        st "
            "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
        const auto line = [](const char* local, const char* state, int uid) {
            return QByteArray("   0: ") + local + " 00000000:0000 " + state +
                   " 00000000:00000000 00:00000000 00000000  " + QByteArray::number(uid) +
                   "        0 4711 1 0000000000000000 100 0 0 10 0\n";
        };
        QTest::newRow("own, 127.0.0.1")
            << v4 + line("0100007F:2406", "0A", 1000) << QList<uint>{1000};
        QTest::newRow("another user's, 127.0.0.1")
            << v4 + line("0100007F:2406", "0A", 1001) << QList<uint>{1001};
        QTest::newRow("not listening (connected)")
            << v4 + line("0100007F:2406", "01", 1001) << QList<uint>{};
        QTest::newRow("other port") << v4 + line("0100007F:2407", "0A", 1001) << QList<uint>{};
        QTest::newRow("other loopback address")
            << v4 + line("0200007F:2406", "0A", 1001) << QList<uint>{};
        QTest::newRow("every address")
            << v4 + line("00000000:2406", "0A", 1001) << QList<uint>{1001};
        QTest::newRow("tcp6 ::1") << v6 + line("00000000000000000000000001000000:2406", "0A", 7)
                                  << QList<uint>{7};
        QTest::newRow("tcp6 ::ffff:127.0.0.1")
            << v6 + line("0000000000000000FFFF00000100007F:2406", "0A", 1001) << QList<uint>{1001};
        QTest::newRow("tcp6 every address")
            << v6 + line("00000000000000000000000000000000:2406", "0A", 1001) << QList<uint>{1001};
        QTest::newRow("tcp6 other address")
            << v6 + line("000080FE00000000FF005450B6AD1DFE:2406", "0A", 1001) << QList<uint>{};
        QTest::newRow("ours and another's")
            << v4 + line("0100007F:2406", "0A", 1000) + line("00000000:2406", "0A", 1001)
            << QList<uint>{1000, 1001};
        QTest::newRow("garbage") << QByteArray("0: zz:2406 0A x\n\n   1: 0100007F:2406 0A\n")
                                 << QList<uint>{};
    }
    void listenerUids() {
        QFETCH(QByteArray, table);
        QFETCH(QList<uint>, uids);
        QCOMPARE(loopbackListenerUids(table, 9222), uids);
    }

    // A profile in a data folder that does not exist yet (sirano-cli --data NEW/SIRANO.DAT): every
    // folder made on the way is the owner's alone, as the data folder always is.
    void profileFoldersAreOwnersOnly() {
        QTemporaryDir dir;
        const QString top = dir.filePath(QStringLiteral("new"));
        const QString profile = top + QStringLiteral("/deeper/browser");
        LaunchOptions options;
        options.programs = {QStringLiteral("/bin/true")};
        QVERIFY(startChromium(options, profile, 0) > 0);
        for (const QString& made : {top, top + QStringLiteral("/deeper"), profile}) {
            QVERIFY2(QFileInfo(made).isDir(), qPrintable(made));
            QCOMPARE(QFileInfo(made).permissions() & 0x0077, QFile::Permissions());
        }
    }

    // The decision, for any user running the tests: ours only when every listener is ours.
    void portOwnerDecision_data() {
        QTest::addColumn<QList<uint>>("uids");
        QTest::addColumn<int>("owner");
        QTest::newRow("none") << QList<uint>{} << int(PortOwner::Nobody);
        QTest::newRow("ours") << QList<uint>{1000} << int(PortOwner::Us);
        QTest::newRow("ours on both families") << QList<uint>{1000, 1000} << int(PortOwner::Us);
        QTest::newRow("another's") << QList<uint>{1001} << int(PortOwner::Other);
        QTest::newRow("ours and another's") << QList<uint>{1000, 1001} << int(PortOwner::Other);
        QTest::newRow("another's and ours") << QList<uint>{0, 1000} << int(PortOwner::Other);
    }
    void portOwnerDecision() {
        QFETCH(QList<uint>, uids);
        QFETCH(int, owner);
        QCOMPARE(int(portOwnerOf(uids, 1000)), owner);
    }

    void portOwnerOnThisComputer() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const quint16 port = server.serverPort();
        QCOMPARE(loopbackPortOwner(port), PortOwner::Us);
        server.close();
        QCOMPARE(loopbackPortOwner(port), PortOwner::Nobody);
    }

    // The kernel's answer and the /proc tables name the same owners, whatever address of this
    // computer the listener takes.
    void kernelAndProcAgree_data() {
        QTest::addColumn<QString>("address");
        QTest::newRow("127.0.0.1") << "127.0.0.1";
        QTest::newRow("every IPv4 address") << "0.0.0.0";
        QTest::newRow("::1") << "::1";
        QTest::newRow("every address") << "::";
    }
    void kernelAndProcAgree() {
        QFETCH(QString, address);
        QTcpServer server;
        if (!server.listen(QHostAddress(address)))
            QSKIP("this computer cannot listen there");
        const quint16 port = server.serverPort();
        const std::optional<QList<uint>> kernel = kernelLoopbackListenerUids(port);
        QVERIFY(kernel);
        QCOMPARE(*kernel, QList<uint>{::geteuid()});
        QCOMPARE(*kernel,
                 loopbackListenerUids(readAll(QStringLiteral("/proc/net/tcp")), port) +
                     loopbackListenerUids(readAll(QStringLiteral("/proc/net/tcp6")), port));
        server.close();
        QCOMPARE(*kernelLoopbackListenerUids(port), QList<uint>{});
    }

    void anotherUsersListenerIsNeverContacted() {
        if (::geteuid() != 0)
            QSKIP("needs root to listen as another user");
        OtherUsersListener other;
        QVERIFY(other.start());
        QCOMPARE(loopbackPortOwner(other.port()), PortOwner::Other);
        // A DevToolsActivePort that names the port (left by a browser that is gone), and the
        // port given directly.
        QTemporaryDir profile;
        writeFile(QDir(profile.path()).filePath(QStringLiteral("DevToolsActivePort")),
                  QByteArray::number(other.port()) + "\n/devtools/browser/stale\n");
        QVERIFY(createChromiumBrowser(profile.path())->windows().isEmpty());
        QVERIFY(createChromiumBrowser(profile.path(), other.port())->windows().isEmpty());
        QVERIFY(!other.connected());
    }

    void browserEndpoint_data() {
        QTest::addColumn<QByteArrayList>("parts");
        QTest::addColumn<bool>("close");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("expected");  // the path, or empty for nothing
        const QByteArray body = versionBody("ws://127.0.0.1:9222/devtools/browser/abc");
        const QString path = QStringLiteral("/devtools/browser/abc");
        QTest::newRow("kept open, with its length")
            << QByteArrayList{header(body.size()) + body} << false << 10000 << path;
        QTest::newRow("ended by closing")
            << QByteArrayList{header(-1) + body} << true << 10000 << path;
        QTest::newRow("header and body apart")
            << QByteArrayList{header(body.size()), body.first(10), body.mid(10)} << false << 10000
            << path;
        QTest::newRow("silence after the header")
            << QByteArrayList{header(body.size())} << false << 500 << QString();
        QTest::newRow("cut short by closing")
            << QByteArrayList{header(body.size()) + body.first(10)} << true << 10000 << QString();
        const QByteArray huge = versionBody("ws://127.0.0.1/" + QByteArray(70000, 'a'));
        QTest::newRow("over 64 KiB, with its length")
            << QByteArrayList{header(huge.size()) + huge} << false << 10000 << QString();
        QTest::newRow("over 64 KiB, kept open without a length")
            << QByteArrayList{header(-1) + huge} << false << 10000 << QString();
        QTest::newRow("not found")
            << QByteArrayList{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"} << false
            << 10000 << QString();
        QTest::newRow("not a websocket")
            << QByteArrayList{header(-1) + versionBody("http://127.0.0.1/devtools/browser/abc")}
            << true << 10000 << QString();
        const QByteArray elsewhere = versionBody("ws://evil.example:1234/devtools/browser/abc");
        QTest::newRow("another host named")
            << QByteArrayList{header(elsewhere.size()) + elsewhere} << false << 10000 << path;
    }
    void browserEndpoint() {
        QFETCH(QByteArrayList, parts);
        QFETCH(bool, close);
        QFETCH(int, timeoutMs);
        QFETCH(QString, expected);
        ScriptedServer server(parts, close);
        QElapsedTimer clock;
        clock.start();
        const std::optional<QUrl> endpoint = queryBrowserEndpoint(server.port(), timeoutMs);
        if (expected.isEmpty()) {
            QVERIFY2(!endpoint, qPrintable(endpoint ? endpoint->toString() : QString()));
        } else {
            QVERIFY(endpoint);
            QCOMPARE(endpoint->toString(),
                     QStringLiteral("ws://127.0.0.1:%1%2").arg(server.port()).arg(expected));
        }
        // Whatever the answer, the wait ends long before a 10 s timeout: a complete answer (or one
        // that can never be) does not wait for the connection to close.
        if (timeoutMs == 10000)
            QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    }

    void noAddressOnTheCommandLine_data() {
        QTest::addColumn<QString>("address");
        QTest::newRow("web address") << QStringLiteral("https://bank.example/login");
        QTest::newRow("switch that runs a program")
            << QStringLiteral("--renderer-cmd-prefix=/bin/touch /tmp/sirano-pwned");
        QTest::newRow("switch after an end of switches")
            << QStringLiteral("-- --browser-subprocess-path=/tmp/x");
    }
    void noAddressOnTheCommandLine() {
        QFETCH(QString, address);
        // The stand-in ends at once, as a Chromium that hands over to another would.
        RecordingStandIn standIn(QStringLiteral("exit 0"));
        QTemporaryDir data;
        ChromiumBrowser::Options options;
        options.profileFolder = QDir(data.path()).filePath(QStringLiteral("browser"));
        ChromiumBrowser browser(options);
        try {
            browser.openInNewBrowser(address);
            QFAIL("a browser that never listened was taken for started");
        } catch (const SiranoError& e) {
            QCOMPARE(e.number(), err::kCannotCreateObject);
        }
        const QStringList argv = standIn.argv();
        QVERIFY2(argv.contains(QStringLiteral("--user-data-dir=") + options.profileFolder),
                 qPrintable(argv.join(u' ')));
        QVERIFY(argv.contains(QStringLiteral("--remote-debugging-port=0")));
        for (const QString& arg : argv)
            QVERIFY2(!arg.contains(address) && arg != QLatin1String("--"), qPrintable(arg));
    }

    void browserThatNeverListensFails() {
        RecordingStandIn standIn(QStringLiteral("exec sleep 30"));
        QTemporaryDir data;
        ChromiumBrowser::Options options;
        options.profileFolder = data.path();
        options.launch.startTimeout = 300ms;
        ChromiumBrowser browser(options);
        const auto stop = qScopeGuard([&] {
            if (browser.lastStartedPid() > 0)
                ::kill(static_cast<pid_t>(browser.lastStartedPid()), SIGKILL);
        });
        try {
            browser.openInNewBrowser(QStringLiteral("https://bank.example/login"));
            QFAIL("a browser that never listened was taken for started");
        } catch (const SiranoError& e) {
            QCOMPARE(e.number(), err::kCannotCreateObject);
        }
        QVERIFY(browser.lastStartedPid() > 0);
        QVERIFY(processRunning(browser.lastStartedPid()));
        QVERIFY(!standIn.argv().isEmpty());
    }
};

QTEST_GUILESS_MAIN(BrowserLinkTest)
#include "tst_browser_link.moc"
