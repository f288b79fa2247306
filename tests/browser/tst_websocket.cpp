// The websocket under the DevTools connection: frames in and out, and a client against a loopback
// server that plays the browser's part byte by byte.
#include "browser/devtools/WebSocket.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

using namespace sirano::websocket;

namespace {

QByteArray frame(uint8_t first, const QByteArray& payload) {
    QByteArray out(1, static_cast<char>(first));
    if (payload.size() < 126) {
        out += static_cast<char>(payload.size());
    } else if (payload.size() <= 0xFFFF) {
        out += static_cast<char>(126);
        char length[2];
        qToBigEndian(static_cast<quint16>(payload.size()), length);
        out.append(length, 2);
    } else {
        out += static_cast<char>(127);
        char length[8];
        qToBigEndian(static_cast<quint64>(payload.size()), length);
        out.append(length, 8);
    }
    return out + payload;
}

QString describe(const FrameReader::Event& e) {
    const char* names[] = {"cont", "text", "binary", "", "", "", "", "", "close", "ping", "pong"};
    return QStringLiteral("%1:%2")
        .arg(QLatin1String(names[static_cast<int>(e.opcode)]))
        .arg(e.payload.size() > 16 ? QString::number(e.payload.size()) + " bytes"
                                   : QString::fromLatin1(e.payload.toHex()));
}

// What a reader makes of bytes given in pieces of `piece` bytes; "fault" ends the list.
QStringList read(const QByteArray& bytes, qsizetype piece, qsizetype maxMessage = 1 << 20) {
    FrameReader reader(maxMessage);
    QStringList events;
    for (qsizetype at = 0; at < bytes.size(); at += piece) {
        reader.feed(QByteArrayView(bytes).sliced(at, std::min(piece, bytes.size() - at)));
        while (const std::optional<FrameReader::Event> e = reader.next())
            events << describe(*e);
    }
    if (!reader.failed().isEmpty())
        events << QStringLiteral("fault");
    return events;
}

struct ClientFrame {
    uint8_t first;
    QByteArray payload;
};

// Frames as a client sends them, unmasked; a frame without a mask fails the test.
QList<ClientFrame> clientFrames(const QByteArray& bytes) {
    QList<ClientFrame> frames;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
    qsizetype at = 0;
    while (at + 6 <= bytes.size()) {
        const uint8_t first = p[at];
        if ((p[at + 1] & 0x80) == 0)
            return {};
        quint64 length = p[at + 1] & 0x7F;
        qsizetype header = 2;
        if (length == 126) {
            length = qFromBigEndian<quint16>(p + at + 2);
            header = 4;
        } else if (length == 127) {
            length = qFromBigEndian<quint64>(p + at + 2);
            header = 10;
        }
        const uint8_t* mask = p + at + header;
        QByteArray payload(static_cast<qsizetype>(length), '\0');
        for (qsizetype i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<char>(p[at + header + 4 + i] ^ mask[i & 3]);
        frames.append({first, payload});
        at += header + 4 + static_cast<qsizetype>(length);
    }
    return frames;
}

}  // namespace

class WebSocketTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void acceptAnswersTheKey() {
        // The example of RFC 6455, section 1.3.
        QCOMPARE(expectedAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
        QCOMPARE(handshakeRequest(QUrl("ws://127.0.0.1:9222/devtools/browser/ab-c"), "KEY"),
                 "GET /devtools/browser/ab-c HTTP/1.1\r\nHost: 127.0.0.1:9222\r\n"
                 "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: KEY\r\n"
                 "Sec-WebSocket-Version: 13\r\n\r\n");
    }

    void framesIn_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("events");
        const QByteArray big(300, 'a');
        const QByteArray huge(70000, 'b');
        QTest::newRow("short text") << frame(0x81, "hi") << QStringList{"text:6869"};
        QTest::newRow("16-bit length") << frame(0x81, big) << QStringList{"text:300 bytes"};
        QTest::newRow("64-bit length") << frame(0x82, huge) << QStringList{"binary:70000 bytes"};
        QTest::newRow("split message with a ping inside")
            << frame(0x01, "ab") + frame(0x89, "p") + frame(0x00, "c") + frame(0x80, "d")
            << QStringList{"ping:70", "text:61626364"};
        QTest::newRow("two messages, then a close")
            << frame(0x81, "x") + frame(0x81, "y") + frame(0x88, "\x03\xe8")
            << QStringList{"text:78", "text:79", "close:03e8"};
        QTest::newRow("masked frame") << QByteArray("\x81\x81\0\0\0\0x", 7) << QStringList{"fault"};
        QTest::newRow("continuation first") << frame(0x80, "x") << QStringList{"fault"};
        QTest::newRow("new message inside a split one")
            << frame(0x01, "a") + frame(0x81, "b") << QStringList{"fault"};
        QTest::newRow("split control frame") << frame(0x09, "p") << QStringList{"fault"};
        QTest::newRow("reserved bits") << frame(0xC1, "x") << QStringList{"fault"};
        QTest::newRow("unknown opcode") << frame(0x83, "x") << QStringList{"fault"};
        QTest::newRow("nothing after a fault")
            << frame(0x81, "x") + frame(0x80, "y") + frame(0x81, "z")
            << QStringList{"text:78", "fault"};
    }
    void framesIn() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, events);
        QCOMPARE(read(bytes, bytes.size()), events);
        QCOMPARE(read(bytes, 1), events);
        QCOMPARE(read(bytes, 7), events);
    }

    // The limit holds for one frame and for a message joined from several.
    void oversizedMessagesFault() {
        QCOMPARE(read(frame(0x81, QByteArray(101, 'x')), 1000, 100), QStringList{"fault"});
        QCOMPARE(
            read(frame(0x01, QByteArray(60, 'x')) + frame(0x80, QByteArray(60, 'x')), 1000, 100),
            QStringList{"fault"});
        QCOMPARE(read(frame(0x81, QByteArray(100, 'x')), 1000, 100), QStringList{"text:100 bytes"});
    }

    void framesOut_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("header");  // without the mask
        for (const int size : {0, 125, 126, 65535, 65536})
            QTest::addRow("%d bytes", size) << size << (size < 126 ? 2 : size <= 65535 ? 4 : 10);
    }
    void framesOut() {
        QFETCH(int, size);
        QFETCH(int, header);
        QByteArray payload(size, '\0');
        for (int i = 0; i < size; ++i)
            payload[i] = static_cast<char>(i * 7);
        const QByteArray out = encodeFrame(Opcode::Text, payload, 0xA1B2C3D4);
        QCOMPARE(out.size(), header + 4 + size);
        const QList<ClientFrame> frames = clientFrames(out);
        QCOMPARE(frames.size(), 1);
        QCOMPARE(frames[0].first, 0x81);
        QCOMPARE(frames[0].payload, payload);
    }

    // The whole life of a connection: handshake, a message each way, a ping answered, a message
    // in two frames, and the server's close answered and reported once.
    void clientTalksToAServer() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QStringList seen;
        Client client({[&] { seen << "opened"; },
                       [&](const QByteArray& m) { seen << "message " + QString::fromUtf8(m); },
                       [&] { seen << "closed"; }});
        QVERIFY(client.open(
            QUrl(QStringLiteral("ws://127.0.0.1:%1/devtools/browser/x").arg(server.serverPort()))));
        QVERIFY(server.waitForNewConnection(5000));
        std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
        QByteArray request;
        QTRY_VERIFY((request += peer->readAll()).contains("\r\n\r\n"));
        QVERIFY(request.startsWith("GET /devtools/browser/x HTTP/1.1\r\n"));
        const qsizetype keyAt = request.indexOf("Sec-WebSocket-Key: ") + 19;
        const QByteArray key = request.mid(keyAt, request.indexOf('\r', keyAt) - keyAt);
        peer->write(
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
            "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
            expectedAccept(key) + "\r\n\r\n" + frame(0x81, "{\"id\":1}"));
        QTRY_COMPARE(seen, QStringList({"opened", "message {\"id\":1}"}));
        QVERIFY(client.isOpen());

        client.sendText("{\"id\":2}");
        peer->write(frame(0x89, "p") + frame(0x01, "sp") + frame(0x80, "lit"));
        QTRY_COMPARE(seen.size(), 3);
        QCOMPARE(seen.last(), "message split");
        peer->write(frame(0x88, "\x03\xe8"));
        QByteArray sent;
        QTRY_COMPARE(clientFrames(sent += peer->readAll()).size(), 3);
        const QList<ClientFrame> frames = clientFrames(sent);
        QCOMPARE(frames[0].first, 0x81);
        QCOMPARE(frames[0].payload, "{\"id\":2}");
        QCOMPARE(frames[1].first, 0x8A);  // the pong
        QCOMPARE(frames[1].payload, "p");
        QCOMPARE(frames[2].first, 0x88);  // the close, its code echoed
        QCOMPARE(frames[2].payload, "\x03\xe8");
        peer->close();
        QTRY_COMPARE(seen.last(), "closed");
        QCOMPARE(seen.count("closed"), 1);
        QVERIFY(!client.isOpen());
    }

    // A server that does not answer the key (or is no websocket) is a failed connection.
    void wrongHandshakesFail_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("wrong accept") << QByteArray(
            "HTTP/1.1 101 Switching Protocols\r\n"
            "Sec-WebSocket-Accept: nope\r\n\r\n");
        QTest::newRow("not an upgrade") << QByteArray("HTTP/1.1 200 OK\r\n\r\n");
        QTest::newRow("endless header") << QByteArray(20000, 'x');
    }
    void wrongHandshakesFail() {
        QFETCH(QByteArray, answer);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QStringList seen;
        Client client({[&] { seen << "opened"; }, [&](const QByteArray&) { seen << "message"; },
                       [&] { seen << "closed"; }});
        QVERIFY(client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(server.serverPort()))));
        QVERIFY(server.waitForNewConnection(5000));
        std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
        QByteArray request;
        QTRY_VERIFY((request += peer->readAll()).contains("\r\n\r\n"));
        peer->write(answer);
        QTRY_COMPARE(seen, QStringList{"closed"});
    }

    void refusedConnectionsAndAddresses() {
        QStringList seen;
        Client client({[&] { seen << "opened"; }, {}, [&] { seen << "closed"; }});
        QVERIFY(!client.open(QUrl(QStringLiteral("wss://127.0.0.1:1/"))));
        QVERIFY(!client.open(QUrl(QStringLiteral("http://127.0.0.1:1/"))));
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        QVERIFY(client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(port))));
        QTRY_COMPARE(seen, QStringList{"closed"});
    }
};

QTEST_GUILESS_MAIN(WebSocketTest)
#include "tst_websocket.moc"
