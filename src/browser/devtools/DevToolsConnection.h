// One websocket to Chromium's DevTools endpoint, owned by a worker thread of its own.
//
// Threads: the socket, every reply handler and every event handler run on the worker thread.
// call() blocks the calling thread on a condition with a timeout and never runs an event loop
// there, so a timer tick of the user-interface thread cannot run in the middle of a capture.
// call() must not be used from the worker thread (it would wait for itself): handlers use send().
#pragma once

#include <QJsonObject>
#include <QString>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

class QObject;
class QThread;

namespace sirano {

struct CdpReply {
    enum class Status {
        Ok,       // result holds the answer
        Error,    // the browser refused the command; message says why
        Timeout,  // no answer in time (the caller gave up; a late answer is dropped)
        Closed,   // connection or session went away before the answer
    };
    Status status = Status::Closed;
    QJsonObject result;
    QString message;

    bool ok() const { return status == Status::Ok; }
};

// A command sent by DevToolsConnection::start(), whose answer is awaited later.
class PendingCall {
public:
    virtual ~PendingCall() = default;
    // Waits at most timeout for the answer (or the failure); a second wait gives the same reply.
    virtual CdpReply wait(std::chrono::milliseconds timeout) = 0;
};

class DevToolsConnection {
public:
    // method, params, sessionId (empty for the browser itself). Runs on the worker thread.
    using EventHandler = std::function<void(const QString&, const QJsonObject&, const QString&)>;
    using ReplyHandler = std::function<void(const CdpReply&)>;
    // Called under the call's own lock: true when the caller gives up waiting, false when the
    // late answer (or failure) finally arrives. Lets the caller track "no answer yet" exactly.
    using StallHook = std::function<void(bool stalled)>;

    // onClosed runs on the worker thread when an open socket closes (browser gone).
    DevToolsConnection(EventHandler onEvent, std::function<void()> onClosed);
    ~DevToolsConnection();

    DevToolsConnection(const DevToolsConnection&) = delete;
    DevToolsConnection& operator=(const DevToolsConnection&) = delete;

    // Opens (or reopens) the socket; false when refused or not open within timeout.
    bool open(const QUrl& url, std::chrono::milliseconds timeout);
    bool isOpen() const { return open_.load(); }
    // Ends the connection from this side because the browser broke a bound or did not set up
    // in time: pending calls fail, onClosed runs (when it was open). Any thread; never while
    // holding a lock that onClosed takes.
    void breakOff(const QString& why);
    // Whether, since the last call, a connection ended from this side: broken off, a bound of
    // the websocket broken (websocket::Limits), or refused at open() because its far end
    // belongs to another user (then nothing was sent on it). The caller then waits before
    // connecting again.
    bool takeFault() { return faulted_.exchange(false); }

    // Sends a command; the handler runs on the worker thread with the answer or the failure.
    void send(const QString& method, const QJsonObject& params, const QString& sessionId,
              ReplyHandler handler);
    // The same with params already written as JSON text (an object): a write sends the same
    // edits to many pages, encoded once.
    void sendEncoded(const QString& method, const QByteArray& params, const QString& sessionId,
                     ReplyHandler handler);
    // Sends a command and waits for its answer. Not from the worker thread.
    CdpReply call(const QString& method, const QJsonObject& params, const QString& sessionId,
                  std::chrono::milliseconds timeout, StallHook stallHook = {});
    // Sends a command now and leaves the waiting to the caller, so that several commands can be
    // under way at once. The stall hook and the count of calls waited for are as for call().
    std::shared_ptr<PendingCall> start(const QString& method, const QJsonObject& params,
                                       const QString& sessionId, StallHook stallHook = {});
    std::shared_ptr<PendingCall> startEncoded(const QString& method, const QByteArray& params,
                                              const QString& sessionId, StallHook stallHook = {});

    // Fails every pending command of the session at once (worker thread only): its target
    // went away and will never answer.
    void failSession(const QString& sessionId, const QString& why);

    bool inWorkerThread() const;

    // Commands sent since creation, and those a caller waited for.
    quint64 commandsSent() const { return commandsSent_.load(); }
    quint64 callsWaited() const { return callsWaited_.load(); }

private:
    struct Worker;
    class Call;

    void sendText(const QString& method, QByteArray params, const QString& sessionId,
                  ReplyHandler handler);

    void post(std::function<void()> task);

    std::unique_ptr<QThread> thread_;
    std::unique_ptr<Worker> worker_;  // lives on thread_
    std::atomic<bool> open_{false};
    std::atomic<bool> faulted_{false};
    std::atomic<quint64> commandsSent_{0};
    std::atomic<quint64> callsWaited_{0};
};

}  // namespace sirano
