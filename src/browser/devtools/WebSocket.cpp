#include "WebSocket.h"

#include <QCryptographicHash>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QtEndian>

namespace sirano::websocket {

namespace {

constexpr qsizetype kMaxHandshake = 16 * 1024;
// Read from the socket at a time, and only when the frames read before are used up, so that the
// bytes held for a server stay bounded by its largest message.
constexpr qsizetype kReadChunk = 256 * 1024;
// Consumed bytes are dropped from the reader's buffer once there are this many.
constexpr qsizetype kCompactAfter = 64 * 1024;

bool isControl(uint8_t opcode) {
    return (opcode & 0x8) != 0;
}

}  // namespace

QByteArray encodeFrame(Opcode opcode, QByteArrayView payload, uint32_t maskKey) {
    QByteArray frame;
    frame.reserve(payload.size() + 14);
    frame.append(static_cast<char>(0x80 | static_cast<uint8_t>(opcode)));
    const auto size = static_cast<quint64>(payload.size());
    if (size < 126) {
        frame.append(static_cast<char>(0x80 | size));
    } else if (size <= 0xFFFF) {
        frame.append(static_cast<char>(0x80 | 126));
        char length[2];
        qToBigEndian(static_cast<quint16>(size), length);
        frame.append(length, 2);
    } else {
        frame.append(static_cast<char>(0x80 | 127));
        char length[8];
        qToBigEndian(size, length);
        frame.append(length, 8);
    }
    char mask[4];
    qToBigEndian(maskKey, mask);
    frame.append(mask, 4);
    const qsizetype start = frame.size();
    frame.resize(start + payload.size());
    char* out = frame.data() + start;
    for (qsizetype i = 0; i < payload.size(); ++i)
        out[i] = static_cast<char>(payload[i] ^ mask[i & 3]);
    return frame;
}

QByteArray handshakeRequest(const QUrl& url, const QByteArray& key) {
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    return "GET " + target + " HTTP/1.1\r\nHost: " + url.host().toLatin1() + ':' +
           QByteArray::number(url.port(80)) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
           "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

QByteArray expectedAccept(const QByteArray& key) {
    return QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                    QCryptographicHash::Sha1)
        .toBase64();
}

// ---- FrameReader ----

std::optional<FrameReader::Event> FrameReader::fail(const char* why) {
    fault_ = why;
    buffer_.clear();
    consumed_ = 0;
    message_.clear();
    messageOpcode_.reset();
    return std::nullopt;
}

std::optional<FrameReader::Event> FrameReader::next() {
    for (;;) {
        if (!fault_.isEmpty())
            return std::nullopt;
        if (consumed_ == buffer_.size()) {
            buffer_.clear();
            consumed_ = 0;
        } else if (consumed_ >= kCompactAfter) {
            buffer_.remove(0, consumed_);
            consumed_ = 0;
        }
        const auto* p = reinterpret_cast<const uint8_t*>(buffer_.constData()) + consumed_;
        const qsizetype available = buffer_.size() - consumed_;
        if (available < 2)
            return std::nullopt;
        const bool final = (p[0] & 0x80) != 0;
        const uint8_t opcode = p[0] & 0x0F;
        if ((p[0] & 0x70) != 0)
            return fail("a frame with reserved bits set");
        if ((p[1] & 0x80) != 0)
            return fail("a masked frame from the server");
        quint64 length = p[1] & 0x7F;
        qsizetype header = 2;
        if (length == 126) {
            if (available < 4)
                return std::nullopt;
            length = qFromBigEndian<quint16>(p + 2);
            header = 4;
        } else if (length == 127) {
            if (available < 10)
                return std::nullopt;
            length = qFromBigEndian<quint64>(p + 2);
            header = 10;
        }
        if (isControl(opcode) && (length > 125 || !final))
            return fail("a control frame that is long or split");
        const qsizetype joined = opcode == 0 ? message_.size() : 0;
        if (length > static_cast<quint64>(maxMessage_ - joined))
            return fail("a message over the size limit");
        if (available - header < static_cast<qsizetype>(length))
            return std::nullopt;
        const QByteArray payload = buffer_.mid(consumed_ + header, static_cast<qsizetype>(length));
        consumed_ += header + static_cast<qsizetype>(length);

        switch (static_cast<Opcode>(opcode)) {
            case Opcode::Close:
            case Opcode::Ping:
            case Opcode::Pong:
                return Event{static_cast<Opcode>(opcode), payload};
            case Opcode::Continuation:
                if (!messageOpcode_)
                    return fail("a continuation frame outside a message");
                if (++fragments_ > maxFragments_)
                    return fail("a message in too many fragments");
                message_ += payload;
                if (final) {
                    Event whole{*messageOpcode_, std::move(message_)};
                    message_ = QByteArray();
                    messageOpcode_.reset();
                    return whole;
                }
                continue;
            case Opcode::Text:
            case Opcode::Binary:
                if (messageOpcode_)
                    return fail("a new message inside a split one");
                if (final)
                    return Event{static_cast<Opcode>(opcode), payload};
                messageOpcode_ = static_cast<Opcode>(opcode);
                fragments_ = 1;
                message_ = payload;
                continue;
        }
        return fail("an unknown opcode");
    }
}

// ---- Client ----

Client::Client(Handlers handlers, Limits limits)
    : handlers_(std::move(handlers)),
      limits_(limits),
      context_(std::make_unique<QObject>()),
      reader_(limits.maxMessage, limits.maxFragments) {}

Client::~Client() {
    if (socket_) {
        socket_->disconnect();
        socket_->abort();
    }
}

bool Client::open(const QUrl& url) {
    if (url.scheme() != QLatin1String("ws") || state_ != State::Idle)
        return false;
    url_ = url;
    QByteArray nonce(16, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(nonce.data()), 4);
    key_ = nonce.toBase64();
    state_ = State::Handshake;
    socket_ = std::make_unique<QTcpSocket>();
    // The endpoint is on loopback; a proxy from the environment must not take it.
    socket_->setProxy(QNetworkProxy::NoProxy);
    // What the server sends beyond this waits in the kernel until we read on.
    socket_->setReadBufferSize(kReadChunk);
    QTcpSocket* socket = socket_.get();
    QObject::connect(socket, &QTcpSocket::connected, socket,
                     [this] { socket_->write(handshakeRequest(url_, key_)); });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this] { onReadable(); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [this] { finish(); });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket,
                     [this](QAbstractSocket::SocketError) {
                         if (socket_ && socket_->state() == QAbstractSocket::UnconnectedState)
                             finish();
                     });
    socket->connectToHost(url.host(), static_cast<quint16>(url.port(80)));
    return true;
}

void Client::sendText(const QByteArray& utf8) {
    if (state_ == State::Open)
        send(Opcode::Text, utf8);
}

void Client::send(Opcode opcode, QByteArrayView payload) {
    const QByteArray frame = encodeFrame(opcode, payload, QRandomGenerator::global()->generate());
    if (socket_->bytesToWrite() + frame.size() > limits_.maxPendingWrite)
        return abortAndFinish("more bytes waiting for the server to read them than the limit");
    socket_->write(frame);
}

void Client::abort() {
    dropSocket();
    state_ = State::Done;
}

void Client::dropSocket() {
    if (!socket_)
        return;
    socket_->disconnect();
    socket_->abort();
    // This may run inside one of the socket's own signals.
    socket_.release()->deleteLater();
}

void Client::finish() {
    if (state_ == State::Done)
        return;
    state_ = State::Done;
    if (handlers_.closed)
        handlers_.closed();
}

void Client::onReadable() {
    if (state_ == State::Handshake)
        readHandshake();
    if (state_ == State::Open)
        readFrames();
}

void Client::readHandshake() {
    handshake_ += socket_->read(kMaxHandshake + 1 - handshake_.size());
    const qsizetype end = handshake_.indexOf("\r\n\r\n");
    if (end < 0) {
        if (handshake_.size() > kMaxHandshake)
            abortAndFinish("an upgrade answer over the size limit");
        return;
    }
    const QList<QByteArray> lines = handshake_.first(end).split('\n');
    const QList<QByteArray> status = lines.value(0).simplified().split(' ');
    bool accepted = false;
    for (const QByteArray& line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.first(colon).trimmed().toLower() == "sec-websocket-accept")
            accepted = line.mid(colon + 1).trimmed() == expectedAccept(key_);
    }
    if (!status.value(0).startsWith("HTTP/1.") || status.value(1) != "101" || !accepted) {
        abortAndFinish("no websocket upgrade");
        return;
    }
    reader_.feed(QByteArrayView(handshake_).sliced(end + 4));
    handshake_.clear();
    state_ = State::Open;
    if (handlers_.opened)
        handlers_.opened();
}

void Client::readFrames() {
    for (int handled = 0; state_ == State::Open;) {
        if (handled == limits_.framesPerTurn) {
            // The rest in the thread's next turn, after what else waits there.
            if (!readScheduled_) {
                readScheduled_ = true;
                QMetaObject::invokeMethod(
                    context_.get(),
                    [this] {
                        readScheduled_ = false;
                        readFrames();
                    },
                    Qt::QueuedConnection);
            }
            return;
        }
        std::optional<FrameReader::Event> event = reader_.next();
        if (!event) {
            if (!reader_.failed().isEmpty())
                return abortAndFinish(reader_.failed());
            if (socket_->bytesAvailable() == 0)
                return;  // until readyRead
            reader_.feed(socket_->read(kReadChunk));
            continue;
        }
        ++handled;
        if (!countFrame())
            return abortAndFinish("more frames in a second than the limit");
        switch (event->opcode) {
            case Opcode::Ping:
                send(Opcode::Pong, event->payload);
                break;
            case Opcode::Close:
                // Echo the status code and let the server close the connection.
                send(Opcode::Close, QByteArrayView(event->payload)
                                        .first(std::min<qsizetype>(2, event->payload.size())));
                if (state_ != State::Open)
                    return;
                state_ = State::Closing;
                socket_->disconnectFromHost();
                return;
            case Opcode::Text:
            case Opcode::Binary:
                if (handlers_.message)
                    handlers_.message(event->payload);
                break;
            default:
                break;
        }
    }
}

bool Client::countFrame() {
    const auto now = std::chrono::steady_clock::now();
    if (now - secondStart_ >= std::chrono::seconds(1)) {
        secondStart_ = now;
        framesThisSecond_ = 0;
    }
    return ++framesThisSecond_ <= limits_.maxFramesPerSecond;
}

void Client::abortAndFinish(const QByteArray& fault) {
    fault_ = fault;
    dropSocket();
    finish();
}

}  // namespace sirano::websocket
