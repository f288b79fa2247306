// The client side of a websocket (RFC 6455) over plain TCP, as much of it as a loopback DevTools
// endpoint needs: the upgrade handshake, text messages out (masked), whole messages in (frames
// joined, pings answered, a close answered and ended).
//
// Not QWebSocket: for a ws:// address it still sets up Qt's TLS backend and OpenSSL (several
// milliseconds on every start of sirano-cli, and OpenSSL resident in the tray program), and it
// turns every message into UTF-16 and back, where the protocol's JSON wants UTF-8 bytes.
#pragma once

#include <QByteArray>
#include <QUrl>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QObject;
class QTcpSocket;

namespace sirano::websocket {

enum class Opcode : uint8_t {
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

// One frame as a client sends it: final, masked with maskKey.
QByteArray encodeFrame(Opcode opcode, QByteArrayView payload, uint32_t maskKey);

// The upgrade request for url's path, and the Sec-WebSocket-Accept that answers key.
QByteArray handshakeRequest(const QUrl& url, const QByteArray& key);
QByteArray expectedAccept(const QByteArray& key);

// Bounds on what a server makes the client hold or do; a server that breaks one is faulty or
// hostile (any program of the user's can listen where a stale DevToolsActivePort points), and
// the connection ends.
struct Limits {
    // The largest answer SIRANO asks for is the read of one page: its forms' elements and
    // values (a long text area included), a few megabytes at most. 32 MiB leaves room for that
    // and keeps what one connection can make us hold small.
    qsizetype maxMessage = 32 * 1024 * 1024;
    // Chromium never splits a message; each fragment costs work even when empty.
    int maxFragments = 1024;
    // Bytes written that the server has not taken yet (the answers to its pings too). Chromium
    // reads at once; the largest command is a write of 101 fields of up to 32767 characters.
    qsizetype maxPendingWrite = 64 * 1024 * 1024;
    // Frames (messages and control frames) handled before the connection's thread turns to its
    // other work (calls to send, timeouts); the rest follow in its next turn.
    int framesPerTurn = 256;
    // Frames in any one second: a browser's events come in the hundreds at most.
    int maxFramesPerSecond = 20000;
};

// Takes the bytes a server sends, in pieces of any size, and hands out what they hold.
class FrameReader {
public:
    struct Event {
        Opcode opcode;  // Text or Binary: a whole message; Ping, Pong or Close: a control frame
        QByteArray payload;  // the message joined from its frames
    };

    explicit FrameReader(qsizetype maxMessage, int maxFragments = 1024)
        : maxMessage_(maxMessage), maxFragments_(maxFragments) {}

    void feed(QByteArrayView bytes) { buffer_.append(bytes); }
    // The next complete event, or nothing until more bytes come. After a protocol fault, nothing
    // ever again and failed() says why.
    std::optional<Event> next();
    const QByteArray& failed() const { return fault_; }
    // Bytes fed and not yet handed out.
    qsizetype buffered() const { return buffer_.size() - consumed_; }

private:
    std::optional<Event> fail(const char* why);

    const qsizetype maxMessage_;
    const int maxFragments_;
    int fragments_ = 0;  // of the split message under way
    QByteArray buffer_;
    qsizetype consumed_ = 0;
    std::optional<Opcode> messageOpcode_;  // a fragmented message under way
    QByteArray message_;
    QByteArray fault_;
};

// A connection on the thread that opens it; every handler runs on that thread.
class Client {
public:
    struct Handlers {
        std::function<void()> opened;
        std::function<void(const QByteArray&)> message;  // a whole text or binary message
        std::function<void()> closed;  // once, after opened or instead of it; never on abort()
    };

    explicit Client(Handlers handlers, Limits limits = {});
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Starts connecting, never through a proxy. False, and nothing happens, for anything but a
    // ws:// address or a client used before.
    bool open(const QUrl& url);
    bool isOpen() const { return state_ == State::Open; }
    // The TCP connection under it; null before open() and after it ends.
    const QTcpSocket* tcpSocket() const { return socket_.get(); }
    void sendText(const QByteArray& utf8);
    // Drops the connection at once, without a closing handshake or a closed() call.
    void abort();
    // Why the connection was ended from this side (a protocol fault or a broken bound, see
    // Limits); empty while it lasts and after an ordinary close.
    const QByteArray& fault() const { return fault_; }

private:
    enum class State { Idle, Handshake, Open, Closing, Done };

    void onReadable();
    void readHandshake();
    void readFrames();
    void send(Opcode opcode, QByteArrayView payload);
    void dropSocket();
    // Ends the connection as closed by the other side: the closed() handler runs, once.
    void finish();
    void abortAndFinish(const QByteArray& fault);
    // Counts a frame against the limit per second; false when that breaks it.
    bool countFrame();

    Handlers handlers_;
    const Limits limits_;
    // The context of the calls queued to itself: they go with the client.
    std::unique_ptr<QObject> context_;
    std::unique_ptr<QTcpSocket> socket_;
    State state_ = State::Idle;
    QUrl url_;
    QByteArray key_;
    QByteArray handshake_;
    FrameReader reader_;
    QByteArray fault_;
    bool readScheduled_ = false;
    std::chrono::steady_clock::time_point secondStart_{};
    int framesThisSecond_ = 0;
};

}  // namespace sirano::websocket
