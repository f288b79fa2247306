// A DevTools peer of the user's own that misbehaves: every bound on what it makes SIRANO hold or
// do ends the connection (message size, fragments, bytes it does not read, frames per second,
// pages), the work per turn of the connection's thread is bounded, and a connection that broke a
// bound or did not set up is not tried again at once.
#include "browser/devtools/ChromiumBrowser.h"
#include "browser/devtools/WebSocket.h"
#include "support/Files.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

using namespace sirano;
using namespace sirano::test;
using namespace std::chrono_literals;

namespace {

// A frame as a server sends it (unmasked).
QByteArray frame(uint8_t first, const QByteArray& payload, quint64 claimedLength = ~0ULL) {
    const quint64 length = claimedLength == ~0ULL ? quint64(payload.size()) : claimedLength;
    QByteArray out(1, static_cast<char>(first));
    if (length < 126) {
        out += static_cast<char>(length);
    } else if (length <= 0xFFFF) {
        out += static_cast<char>(126);
        char bytes[2];
        qToBigEndian(static_cast<quint16>(length), bytes);
        out.append(bytes, 2);
    } else {
        out += static_cast<char>(127);
        char bytes[8];
        qToBigEndian(length, bytes);
        out.append(bytes, 8);
    }
    return out + payload;
}

QByteArray text(const QJsonObject& message) {
    return frame(0x81, QJsonDocument(message).toJson(QJsonDocument::Compact));
}

// A loopback websocket server on a thread of its own, written with plain blocking sockets so that
// it runs while the client's side blocks. It answers the upgrade, then runs its script with the
// connection: send bytes, read the client's messages (unmasked), or neither.
class Peer {
public:
    class Connection {
    public:
        explicit Connection(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}
        void send(const QByteArray& bytes) {
            for (qsizetype at = 0; at < bytes.size() && !stop_;) {
                const ssize_t n = ::send(fd_, bytes.constData() + at,
                                         static_cast<size_t>(bytes.size() - at), MSG_NOSIGNAL);
                if (n <= 0)
                    return;
                at += n;
            }
        }
        // The next text message of the client; empty once it has gone.
        QByteArray message() {
            for (;;) {
                if (auto m = parse())
                    return *m;
                if (!waitFor(POLLIN))
                    return {};
                char chunk[65536];
                const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
                if (n <= 0)
                    return {};
                buffer_.append(chunk, n);
            }
        }
        // Waits, reading nothing, until the client ends the connection (or the test ends).
        bool waitForClose() { return waitFor(POLLRDHUP) && !stop_; }

    private:
        bool waitFor(short events) {
            pollfd p{fd_, short(events | POLLRDHUP), 0};
            while (!stop_) {
                if (::poll(&p, 1, 50) > 0)
                    return (p.revents & events) != 0 || (p.revents & (POLLHUP | POLLERR)) != 0;
            }
            return false;
        }
        std::optional<QByteArray> parse() {
            const auto* p = reinterpret_cast<const uint8_t*>(buffer_.constData());
            if (buffer_.size() < 6)
                return std::nullopt;
            quint64 length = p[1] & 0x7F;
            qsizetype header = 2;
            if (length == 126) {
                length = qFromBigEndian<quint16>(p + 2);
                header = 4;
            } else if (length == 127) {
                length = qFromBigEndian<quint64>(p + 2);
                header = 10;
            }
            if (buffer_.size() < header + 4 + qsizetype(length))
                return std::nullopt;
            QByteArray payload(qsizetype(length), '\0');
            for (qsizetype i = 0; i < payload.size(); ++i)
                payload[i] = static_cast<char>(p[header + 4 + i] ^ p[header + (i & 3)]);
            buffer_.remove(0, header + 4 + qsizetype(length));
            return payload;
        }

        int fd_;
        const std::atomic<bool>& stop_;
        QByteArray buffer_;
    };
    using Script = std::function<void(Connection&)>;

    // receiveBuffer > 0 makes the kernel hold little of what the client sends and the peer does
    // not read.
    explicit Peer(Script script, int receiveBuffer = 0)
        : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (receiveBuffer > 0)
            ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (::bind(listener_, raw, size) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, raw, &size) != 0)
            qFatal("cannot listen on loopback");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, script = std::move(script)] { serve(script); });
    }
    ~Peer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    quint16 port() const { return port_; }
    int connections() const { return connections_; }
    // The client ended the first connection while the script waited for it.
    bool closedByClient() const { return closedByClient_; }
    QUrl url() const {
        return QUrl(QStringLiteral("ws://127.0.0.1:%1/devtools/browser/x").arg(port_));
    }

private:
    void serve(const Script& script) {
        pollfd p{listener_, POLLIN, 0};
        while (!stop_) {
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            if (++connections_ == 1) {
                Connection connection(fd, stop_);
                if (upgrade(fd)) {
                    script(connection);
                    closedByClient_ = connection.waitForClose();
                }
            }
            ::close(fd);
        }
    }
    static bool upgrade(int fd) {
        QByteArray request;
        char chunk[4096];
        while (!request.contains("\r\n\r\n")) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            request.append(chunk, n);
        }
        const qsizetype at = request.indexOf("Sec-WebSocket-Key: ") + 19;
        const QByteArray key = request.mid(at, request.indexOf('\r', at) - at);
        const QByteArray answer =
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
            "Upgrade\r\nSec-WebSocket-Accept: " +
            websocket::expectedAccept(key) + "\r\n\r\n";
        return ::send(fd, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL) == answer.size();
    }

    int listener_;
    quint16 port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<bool> closedByClient_{false};
    std::thread thread_;
};

// Answers the browser's set-up as Chromium would (no pages), then runs then.
Peer::Script afterSetUp(std::function<void(Peer::Connection&)> then) {
    return [then = std::move(then)](Peer::Connection& c) {
        for (int answered = 0; answered < 3; ++answered) {
            const QJsonObject call = QJsonDocument::fromJson(c.message()).object();
            QJsonObject result;
            if (call.value(QLatin1String("method")).toString() ==
                QLatin1String("Target.getTargets"))
                result = QJsonObject{{QStringLiteral("targetInfos"), QJsonArray{}}};
            c.send(text({{QStringLiteral("id"), call.value(QLatin1String("id"))},
                         {QStringLiteral("result"), result}}));
        }
        then(c);
    };
}

QJsonObject newPage(int i) {
    return {{QStringLiteral("method"), QStringLiteral("Target.targetCreated")},
            {QStringLiteral("params"),
             QJsonObject{{QStringLiteral("targetInfo"),
                          QJsonObject{{QStringLiteral("targetId"), QStringLiteral("T%1").arg(i)},
                                      {QStringLiteral("type"), QStringLiteral("page")},
                                      {QStringLiteral("url"), QStringLiteral("about:blank")}}}}}};
}

struct Seen {
    QStringList events;
    int messages = 0;
};

}  // namespace

class HostilePeerTest : public QObject {
    Q_OBJECT

    // A client with these limits on a peer running script; what it saw until it was closed.
    static std::pair<std::unique_ptr<websocket::Client>, std::shared_ptr<Seen>> openClient(
        const Peer& peer, websocket::Limits limits) {
        auto seen = std::make_shared<Seen>();
        auto client = std::make_unique<websocket::Client>(
            websocket::Client::Handlers{[seen] { seen->events << "opened"; },
                                        [seen](const QByteArray&) { ++seen->messages; },
                                        [seen] { seen->events << "closed"; }},
            limits);
        client->open(peer.url());
        return {std::move(client), seen};
    }

private Q_SLOTS:
    // Each bound, broken by a peer that does what the attack did, in small: the client closes
    // the connection and says which bound, and what it received stays within the bound.
    void boundsEndTheConnection_data() {
        QTest::addColumn<QByteArray>("bytes");  // what the peer sends after the upgrade
        QTest::addColumn<QByteArray>("fault");
        QTest::addColumn<int>("maxMessages");  // the most messages the client may have taken
        const QByteArray ping(125, 'p');
        QByteArray pings;
        for (int i = 0; i < 40000; ++i)
            pings += frame(0x89, ping);
        QByteArray emptyFragments = frame(0x01, "{");
        for (int i = 0; i < 5000; ++i)
            emptyFragments += frame(0x00, {});
        QByteArray bigFragments = frame(0x01, QByteArray(64 * 1024, ' '));
        for (int i = 0; i < 40; ++i)
            bigFragments += frame(0x00, QByteArray(64 * 1024, ' '));
        QByteArray messages;
        for (int i = 0; i < 5000; ++i)
            messages += frame(0x81, "{}");
        QTest::newRow("a frame over the message size, announced")
            << frame(0x81, QByteArray(10, 'x'), 2 * 1024 * 1024)
            << QByteArray("a message over the size limit") << 0;
        QTest::newRow("64 KiB fragments without end")
            << bigFragments << QByteArray("a message over the size limit") << 0;
        QTest::newRow("empty fragments without end")
            << emptyFragments << QByteArray("a message in too many fragments") << 0;
        QTest::newRow("pings whose answers it never reads")
            << pings << QByteArray("more bytes waiting for the server to read them than the limit")
            << 0;
        QTest::newRow("messages without end")
            << messages << QByteArray("more frames in a second than the limit") << 1000;
    }
    void boundsEndTheConnection() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, fault);
        QFETCH(int, maxMessages);
        websocket::Limits limits;
        limits.maxMessage = 1024 * 1024;
        limits.maxFragments = 100;
        limits.maxPendingWrite = 64 * 1024;
        limits.maxFramesPerSecond = 1000;
        if (fault.startsWith("more bytes"))
            limits.maxFramesPerSecond = 1000000;  // this peer's pings are many
        Peer peer([&](Peer::Connection& c) { c.send(bytes); }, 4096);
        auto [client, seen] = openClient(peer, limits);
        QTRY_VERIFY_WITH_TIMEOUT(seen->events.contains("closed"), 20000);
        QCOMPARE(seen->events, QStringList({"opened", "closed"}));
        QCOMPARE(client->fault(), fault);
        QVERIFY2(seen->messages <= maxMessages, qPrintable(QString::number(seen->messages)));
        QTRY_VERIFY(peer.closedByClient());
    }

    // A peer within the bounds keeps its connection: a message of the largest size, split into
    // as many fragments as allowed, and as many frames in a second as allowed.
    void withinTheBoundsNothingEnds() {
        websocket::Limits limits;
        limits.maxMessage = 1024 * 1024;
        limits.maxFragments = 100;
        limits.maxFramesPerSecond = 1000;
        QByteArray bytes = frame(0x01, QByteArray(1024 * 1024 - 99 * 10, ' '));
        for (int i = 0; i < 99; ++i)
            bytes += frame(i == 98 ? 0x80 : 0x00, QByteArray(10, ' '));
        for (int i = 0; i < 900; ++i)
            bytes += frame(0x81, "{}");
        Peer peer([&](Peer::Connection& c) { c.send(bytes); });
        auto [client, seen] = openClient(peer, limits);
        QTRY_COMPARE(seen->messages, 901);
        QCOMPARE(seen->events, QStringList{"opened"});
        QVERIFY(client->fault().isEmpty());
    }

    // Frames that came at once are handled a bounded number per turn of the thread: what else
    // waits there (a call to send, a timeout) runs between them.
    void workPerTurnIsBounded() {
        websocket::Limits limits;
        limits.framesPerTurn = 10;
        QByteArray bytes;
        for (int i = 0; i < 100; ++i)
            bytes += frame(0x81, "{}");
        Peer peer([&](Peer::Connection& c) { c.send(bytes); });
        QStringList order;
        websocket::Client client({{},
                                  [&](const QByteArray&) {
                                      order << QStringLiteral("message");
                                      if (order.size() == 1)
                                          QTimer::singleShot(
                                              0, [&] { order << QStringLiteral("other work"); });
                                  },
                                  {}},
                                 limits);
        client.open(peer.url());
        QTRY_COMPARE(order.count(QStringLiteral("message")), 100);
        QVERIFY2(order.indexOf(QStringLiteral("other work")) <= 10, qPrintable(order.join(' ')));
    }

    // A browser that never answers its set-up: the connection ends at the call timeout instead
    // of lingering with its events and our calls piling up, and the next ticks do not connect
    // again at once.
    void setUpThatTimesOutEndsAndBacksOff() {
        Peer peer([](Peer::Connection& c) {
            while (!c.message().isEmpty()) {
            }
        });
        QTemporaryDir profile;
        writeFile(QDir(profile.path()).filePath(QStringLiteral("DevToolsActivePort")),
                  QByteArray::number(peer.port()) + "\n/devtools/browser/x\n");
        ChromiumBrowser::Options options;
        options.profileFolder = profile.path();
        options.callTimeout = 300ms;
        ChromiumBrowser browser(std::move(options));
        QVERIFY(browser.windows().isEmpty());
        QTRY_VERIFY(peer.closedByClient());
        for (int tick = 0; tick < 3; ++tick)
            QVERIFY(browser.windows().isEmpty());
        QCOMPARE(peer.connections(), 1);
    }

    // A browser that reports pages without end: the tracker keeps at most its bound, the
    // connection ends, and the next ticks do not connect again at once.
    void endlessNewPagesEndAndBackOff() {
        Peer peer(afterSetUp([](Peer::Connection& c) {
            QByteArray events;
            for (int i = 0; i < 1500; ++i)
                events += text(newPage(i));
            c.send(events);
        }));
        QTemporaryDir profile;
        writeFile(QDir(profile.path()).filePath(QStringLiteral("DevToolsActivePort")),
                  QByteArray::number(peer.port()) + "\n/devtools/browser/x\n");
        ChromiumBrowser::Options options;
        options.profileFolder = profile.path();
        ChromiumBrowser browser(std::move(options));
        QVERIFY(browser.windows().size() <= 1000);
        QTRY_VERIFY_WITH_TIMEOUT(peer.closedByClient(), 20000);
        for (int tick = 0; tick < 3; ++tick)
            QVERIFY(browser.windows().isEmpty());
        QCOMPARE(peer.connections(), 1);
    }
};

QTEST_GUILESS_MAIN(HostilePeerTest)
#include "tst_hostile_peer.moc"
