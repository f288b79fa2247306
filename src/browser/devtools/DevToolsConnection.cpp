#include "DevToolsConnection.h"

#include "PortOwnership.h"
#include "WebSocket.h"

#include <QJsonDocument>
#include <QObject>
#include <QTcpSocket>
#include <QThread>
#include <condition_variable>
#include <mutex>
#include <unordered_map>

namespace sirano {

namespace {

struct Waiter {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool ok = false;

    void finish(bool result) {
        std::lock_guard lock(m);
        if (done)
            return;
        done = true;
        ok = result;
        cv.notify_all();
    }
};

}  // namespace

struct DevToolsConnection::Worker {
    struct Pending {
        QString sessionId;
        ReplyHandler handler;
    };

    QObject context;  // lives on the worker thread
    // Shared so that a socket can be let go from inside its own handlers, and go later.
    std::shared_ptr<websocket::Client> socket;
    bool socketOpen = false;
    std::unordered_map<qint64, Pending> pending;
    qint64 nextId = 1;
    EventHandler onEvent;
    std::function<void()> onClosed;
    bool shuttingDown = false;

    void failAll(const QString& why) {
        auto failed = std::move(pending);
        pending.clear();
        for (auto& [id, p] : failed)
            p.handler(CdpReply{CdpReply::Status::Closed, {}, why});
    }
};

DevToolsConnection::DevToolsConnection(EventHandler onEvent, std::function<void()> onClosed)
    : thread_(std::make_unique<QThread>()), worker_(std::make_unique<Worker>()) {
    worker_->onEvent = std::move(onEvent);
    worker_->onClosed = std::move(onClosed);
    thread_->setObjectName(QStringLiteral("devtools"));
    worker_->context.moveToThread(thread_.get());
    thread_->start();
}

DevToolsConnection::~DevToolsConnection() {
    QMetaObject::invokeMethod(
        &worker_->context,
        [this] {
            worker_->shuttingDown = true;
            if (worker_->socket) {
                worker_->socket->abort();
                worker_->socket.reset();
            }
            open_ = false;
            worker_->failAll(QStringLiteral("the connection was closed"));
        },
        Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
}

bool DevToolsConnection::inWorkerThread() const {
    return QThread::currentThread() == thread_.get();
}

void DevToolsConnection::post(std::function<void()> task) {
    QMetaObject::invokeMethod(&worker_->context, std::move(task), Qt::QueuedConnection);
}

bool DevToolsConnection::open(const QUrl& url, std::chrono::milliseconds timeout) {
    auto waiter = std::make_shared<Waiter>();
    post([this, url, waiter] {
        Worker& w = *worker_;
        if (w.socket) {
            // A reopen discards the old socket and whatever was still waiting on it.
            w.socket->abort();
            w.socket.reset();
            w.socketOpen = false;
            open_ = false;
            w.failAll(QStringLiteral("the connection was reopened"));
        }
        // Set once the socket exists; the handlers run only after this task.
        auto self = std::make_shared<websocket::Client*>(nullptr);
        websocket::Client::Handlers handlers;
        handlers.opened = [this, self, waiter] {
            Worker& w = *worker_;
            if (w.socket.get() != *self)
                return;
            // The listener was checked before connecting, but another user's may have taken its
            // place since: nothing is sent before the connection itself shows whose it is.
            const QTcpSocket* tcp = w.socket->tcpSocket();
            if (!tcp || !peerIsOurs(TcpConnection{tcp->localAddress(), tcp->localPort(),
                                                  tcp->peerAddress(), tcp->peerPort()})) {
                w.socket->abort();
                post([gone = std::move(w.socket)] {});
                faulted_ = true;
                waiter->finish(false);
                return;
            }
            worker_->socketOpen = true;
            open_ = true;
            waiter->finish(true);
        };
        handlers.closed = [this, self, waiter] {
            waiter->finish(false);
            Worker& w = *worker_;
            if (w.socket.get() != *self || w.shuttingDown)
                return;
            const bool wasOpen = w.socketOpen;
            if (!w.socket->fault().isEmpty())
                faulted_ = true;
            // Not destroyed here, inside its own handler: a later task lets it go.
            post([gone = std::move(w.socket)] {});
            w.socketOpen = false;
            open_ = false;
            w.failAll(QStringLiteral("the browser closed the connection"));
            if (wasOpen && w.onClosed)
                w.onClosed();
        };
        handlers.message = [this](const QByteArray& text) {
            const QJsonObject message = QJsonDocument::fromJson(text).object();
            Worker& w = *worker_;
            if (message.contains(QLatin1String("id"))) {
                const auto it = w.pending.find(message.value(QLatin1String("id")).toInteger());
                if (it == w.pending.end())
                    return;
                ReplyHandler handler = std::move(it->second.handler);
                w.pending.erase(it);
                CdpReply reply;
                if (message.contains(QLatin1String("error"))) {
                    reply.status = CdpReply::Status::Error;
                    reply.message = message.value(QLatin1String("error"))
                                        .toObject()
                                        .value(QLatin1String("message"))
                                        .toString();
                } else {
                    reply.status = CdpReply::Status::Ok;
                    reply.result = message.value(QLatin1String("result")).toObject();
                }
                handler(reply);
            } else if (w.onEvent) {
                w.onEvent(message.value(QLatin1String("method")).toString(),
                          message.value(QLatin1String("params")).toObject(),
                          message.value(QLatin1String("sessionId")).toString());
            }
        };
        w.socket = std::make_shared<websocket::Client>(std::move(handlers));
        *self = w.socket.get();
        if (!w.socket->open(url)) {
            w.socket.reset();
            waiter->finish(false);
        }
    });

    std::unique_lock lock(waiter->m);
    if (!waiter->cv.wait_for(lock, timeout, [&] { return waiter->done; })) {
        lock.unlock();
        waiter->finish(false);
        post([this] {
            // Gave up: a half-open handshake must not linger (and later report success).
            if (worker_->socket && !worker_->socketOpen) {
                worker_->socket->abort();
                worker_->socket.reset();
            }
        });
        return false;
    }
    return waiter->ok;
}

void DevToolsConnection::breakOff(const QString& why) {
    const auto task = [this, why] {
        Worker& w = *worker_;
        faulted_ = true;
        if (!w.socket)
            return;
        const bool wasOpen = w.socketOpen;
        w.socket->abort();
        // Perhaps inside one of the socket's own handlers: a later task lets it go.
        post([gone = std::move(w.socket)] {});
        w.socketOpen = false;
        open_ = false;
        w.failAll(why);
        if (wasOpen && w.onClosed)
            w.onClosed();
    };
    if (inWorkerThread())
        task();
    else
        QMetaObject::invokeMethod(&worker_->context, task, Qt::BlockingQueuedConnection);
}

void DevToolsConnection::send(const QString& method, const QJsonObject& params,
                              const QString& sessionId, ReplyHandler handler) {
    sendText(method, QJsonDocument(params).toJson(QJsonDocument::Compact), sessionId,
             std::move(handler));
}

void DevToolsConnection::sendEncoded(const QString& method, const QByteArray& params,
                                     const QString& sessionId, ReplyHandler handler) {
    sendText(method, params, sessionId, std::move(handler));
}

void DevToolsConnection::sendText(const QString& method, QByteArray params,
                                  const QString& sessionId, ReplyHandler handler) {
    auto task = [this, method, params = std::move(params), sessionId,
                 handler = std::move(handler)]() mutable {
        Worker& w = *worker_;
        if (!w.socket || !w.socketOpen) {
            // Answer later, never from inside the sender's own frame: it may hold its locks.
            post([handler = std::move(handler)] {
                handler(CdpReply{CdpReply::Status::Closed, {}, QStringLiteral("not connected")});
            });
            return;
        }
        const qint64 id = w.nextId++;
        // The envelope around params already in JSON: method and session id are plain
        // identifiers of the protocol, but are escaped all the same.
        const QJsonObject envelope = sessionId.isEmpty()
                                         ? QJsonObject{{QStringLiteral("method"), method}}
                                         : QJsonObject{{QStringLiteral("method"), method},
                                                       {QStringLiteral("sessionId"), sessionId}};
        QByteArray message = QJsonDocument(envelope).toJson(QJsonDocument::Compact);
        message.chop(1);  // the closing brace
        message += ",\"id\":" + QByteArray::number(id) + ",\"params\":" + params + '}';
        w.pending.emplace(id, Worker::Pending{sessionId, std::move(handler)});
        ++commandsSent_;
        w.socket->sendText(message);
    };
    if (inWorkerThread())
        task();
    else
        post(std::move(task));
}

class DevToolsConnection::Call final : public PendingCall {
public:
    Call(QString method, StallHook hook) : method_(std::move(method)), hook_(std::move(hook)) {}

    // The connection's handler for the answer (worker thread).
    void answered(const CdpReply& reply) {
        std::lock_guard lock(m_);
        if (abandoned_) {
            if (hook_)
                hook_(false);
            return;
        }
        reply_ = reply;
        done_ = true;
        cv_.notify_all();
    }

    CdpReply wait(std::chrono::milliseconds timeout) override {
        std::unique_lock lock(m_);
        if (abandoned_)
            return timedOut_;
        if (!cv_.wait_for(lock, timeout, [&] { return done_; })) {
            abandoned_ = true;
            if (hook_)
                hook_(true);
            timedOut_ = CdpReply{CdpReply::Status::Timeout,
                                 {},
                                 QStringLiteral("%1 got no answer within %2 ms")
                                     .arg(method_)
                                     .arg(static_cast<qint64>(timeout.count()))};
            return timedOut_;
        }
        return reply_;
    }

private:
    const QString method_;
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    bool abandoned_ = false;
    CdpReply reply_;
    CdpReply timedOut_;
    StallHook hook_;
};

std::shared_ptr<PendingCall> DevToolsConnection::start(const QString& method,
                                                       const QJsonObject& params,
                                                       const QString& sessionId,
                                                       StallHook stallHook) {
    return startEncoded(method, QJsonDocument(params).toJson(QJsonDocument::Compact), sessionId,
                        std::move(stallHook));
}

std::shared_ptr<PendingCall> DevToolsConnection::startEncoded(const QString& method,
                                                              const QByteArray& params,
                                                              const QString& sessionId,
                                                              StallHook stallHook) {
    auto call = std::make_shared<Call>(method, std::move(stallHook));
    if (inWorkerThread()) {
        call->answered(
            CdpReply{CdpReply::Status::Closed, {}, QStringLiteral("call from the worker")});
        return call;
    }
    ++callsWaited_;
    sendText(method, params, sessionId, [call](const CdpReply& reply) { call->answered(reply); });
    return call;
}

CdpReply DevToolsConnection::call(const QString& method, const QJsonObject& params,
                                  const QString& sessionId, std::chrono::milliseconds timeout,
                                  StallHook stallHook) {
    return start(method, params, sessionId, std::move(stallHook))->wait(timeout);
}

void DevToolsConnection::failSession(const QString& sessionId, const QString& why) {
    Worker& w = *worker_;
    std::vector<ReplyHandler> failed;
    for (auto it = w.pending.begin(); it != w.pending.end();) {
        if (it->second.sessionId == sessionId) {
            failed.push_back(std::move(it->second.handler));
            it = w.pending.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& handler : failed)
        handler(CdpReply{CdpReply::Status::Closed, {}, why});
}

}  // namespace sirano
