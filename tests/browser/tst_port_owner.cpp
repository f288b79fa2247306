// Whose is a loopback port: the decision over the listeners' owners, the owner of the far end of
// a connection (netlink and /proc), and a listener replaced by another user's between the check
// and the connection.
#include "browser/devtools/ChromiumBrowser.h"
#include "browser/devtools/PortOwnership.h"
#include "support/Files.h"

#include <unistd.h>
#include <QDir>
#include <QProcess>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace sirano;
using namespace sirano::test;

namespace {

// A websocket peer of another user (nobody), started as root on a given port: it answers the
// upgrade as Chromium does, then says how many bytes came after it before the client went.
class OtherUsersWebSocketPeer {
public:
    bool start(quint16 port) {
        process_.setProgram(QStringLiteral("python3"));
        process_.setArguments({QStringLiteral("-c"), QStringLiteral(R"(
import base64, hashlib, os, socket, sys
os.setgroups([]); os.setgid(65534); os.setuid(65534)
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(8)
print("listening", flush=True)
c, _ = s.accept()
request = b""
while b"\r\n\r\n" not in request:
    part = c.recv(4096)
    if not part: break
    request += part
key = [l.split(b":", 1)[1].strip() for l in request.split(b"\r\n") if l.lower().startswith(b"sec-websocket-key:")][0]
accept = base64.b64encode(hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
c.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n")
print("upgraded", flush=True)
got = 0
while True:
    try: part = c.recv(65536)
    except OSError: break
    if not part: break
    got += len(part)
print("after the upgrade: %d bytes" % got, flush=True)
)"),
                               QString::number(port)});
        process_.start();
        return process_.waitForReadyRead(10000) && process_.readLine().trimmed() == "listening";
    }
    ~OtherUsersWebSocketPeer() {
        process_.kill();
        process_.waitForFinished(5000);
    }
    // Everything it said, once it ended (the client went) or after 10 s.
    QByteArray report() {
        process_.waitForFinished(10000);
        return process_.readAll();
    }

private:
    QProcess process_;
};

}  // namespace

class PortOwnerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The far end of our connection 127.0.0.1:50000 -> 127.0.0.1:9222 is the line whose own end
    // is 9222 and whose far end is 50000, in whatever table form the kernel prints it.
    void peerSocketUidFromProc_data() {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<int>("uid");  // -1: none
        if (QSysInfo::ByteOrder != QSysInfo::LittleEndian)
            QSKIP("the fixtures are in the little-endian form of /proc/net/tcp");
        // 9222 = 0x2406, 50000 = 0xC350.
        const auto line = [](const char* local, const char* remote, const char* state, int uid) {
            return QByteArray("   0: ") + local + ' ' + remote + ' ' + state +
                   " 00000000:00000000 00:00000000 00000000 " + QByteArray::number(uid) +
                   "        0 4711 1 0000000000000000 100 0 0 10 0\n";
        };
        const QByteArray head = "  sl  local_address rem_address   st tx_queue ... uid\n";
        QTest::newRow("the accepted socket")
            << head + line("0100007F:2406", "0100007F:C350", "01", 1001) << 1001;
        QTest::newRow("the listener alone")
            << head + line("0100007F:2406", "00000000:0000", "0A", 1000) << -1;
        QTest::newRow("our own end only")
            << head + line("0100007F:C350", "0100007F:2406", "01", 1000) << -1;
        QTest::newRow("listener, our end, then the accepted socket")
            << head + line("0100007F:2406", "00000000:0000", "0A", 1000) +
                   line("0100007F:C350", "0100007F:2406", "01", 1000) +
                   line("0100007F:2406", "0100007F:C350", "01", 1001)
            << 1001;
        QTest::newRow("another connection to the port")
            << head + line("0100007F:2406", "0100007F:C351", "01", 1001) << -1;
        QTest::newRow("closing, still the same socket")
            << head + line("0100007F:2406", "0100007F:C350", "08", 1001) << 1001;
        QTest::newRow("ended (TIME_WAIT)")
            << head + line("0100007F:2406", "0100007F:C350", "06", 0) << -1;
        QTest::newRow("tcp6, IPv4-mapped")
            << head + line("0000000000000000FFFF00000100007F:2406",
                           "0000000000000000FFFF00000100007F:C350", "01", 7)
            << 7;
        QTest::newRow("garbage") << QByteArray("0: zz:2406 0100007F:C350 01 x\n\n") << -1;
    }
    void peerSocketUidFromProc() {
        QFETCH(QByteArray, table);
        QFETCH(int, uid);
        const TcpConnection connection{QHostAddress(QStringLiteral("127.0.0.1")), 50000,
                                       QHostAddress(QStringLiteral("127.0.0.1")), 9222};
        const std::optional<uint> found = peerSocketUid(table, connection);
        QCOMPARE(found ? int(*found) : -1, uid);
    }

    // On a real connection to a listener of ours, the kernel and both /proc tables name us as
    // the far end's owner; once the far end is gone, nobody.
    void peerOfARealConnection() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(client.waitForConnected(5000));
        QVERIFY(server.waitForNewConnection(5000));
        std::unique_ptr<QTcpSocket> accepted(server.nextPendingConnection());
        const TcpConnection connection{client.localAddress(), client.localPort(),
                                       client.peerAddress(), client.peerPort()};
        const std::optional<uint> kernel = kernelPeerSocketUid(connection);
        QVERIFY(kernel);
        QCOMPARE(*kernel, uint(::geteuid()));
        QCOMPARE(peerSocketUid(readAll(QStringLiteral("/proc/net/tcp")), connection),
                 std::optional<uint>(::geteuid()));
        QVERIFY(peerIsOurs(connection));
        const TcpConnection elsewhere{client.localAddress(), quint16(client.localPort() + 1),
                                      client.peerAddress(), client.peerPort()};
        QVERIFY(!kernelPeerSocketUid(elsewhere));
        QVERIFY(!peerIsOurs(elsewhere));

        accepted->abort();
        server.close();
        client.abort();
        QTRY_VERIFY(!kernelPeerSocketUid(connection));
        QVERIFY(!peerIsOurs(connection));
    }

    // The listener checked is ours; between the check and the connection it goes, and another
    // user's takes the port. The connection's own far end shows it: nothing is sent there and no
    // window is listed.
    void listenerReplacedBetweenCheckAndConnect() {
        if (::geteuid() != 0)
            QSKIP("needs root to listen as another user");
        QTcpServer ours;
        QVERIFY(ours.listen(QHostAddress::LocalHost));
        const quint16 port = ours.serverPort();
        QTemporaryDir profile;
        writeFile(QDir(profile.path()).filePath(QStringLiteral("DevToolsActivePort")),
                  QByteArray::number(port) + "\n/devtools/browser/ours\n");
        OtherUsersWebSocketPeer other;
        int checks = 0;
        ChromiumBrowser::Options options;
        options.profileFolder = profile.path();
        options.afterListenerCheck = [&] {
            ++checks;
            ours.close();
            QVERIFY(other.start(port));
        };
        ChromiumBrowser browser(std::move(options));
        QVERIFY(browser.windows().isEmpty());
        QCOMPARE(checks, 1);
        QCOMPARE(browser.traffic().commands, quint64{0});
        const QByteArray report = other.report();
        QVERIFY2(report.contains("upgraded\nafter the upgrade: 0 bytes"), report.constData());
    }
};

QTEST_GUILESS_MAIN(PortOwnerTest)
#include "tst_port_owner.moc"
