// What the browser's events say about each of its pages, kept current on the connection's worker
// thread so that callers read it without asking the browser: the order of first sight, a number
// of our own as windowId, busy, address, and the page's isolated world for the page scripts.
#pragma once

#include "DevToolsConnection.h"

#include <QHash>
#include <QJsonArray>
#include <QList>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace sirano {

struct TrackedPage {
    explicit TrackedPage(QString target, int32_t number)
        : targetId(std::move(target)), mainFrameId(targetId), windowId(number) {}

    const QString targetId;
    // Everything below is guarded by the tracker's lock, except stalled.
    QString mainFrameId;
    const int32_t windowId;
    QString sessionId;
    QString url;
    bool stateKnown = false;  // busy-or-not learnt from an event or from readyState
    bool loading = false;
    bool dialogOpen = false;
    bool gone = false;
    quint64 loadEvents = 0;
    quint64 loadsStarted = 0;  // main-frame loads begun since first sight
    quint64 documents = 0;     // main-frame documents committed
    QString world;             // context id of our isolated world in the current document
    QString writer;  // object id of the write function made in writerWorld; empty: under way
    QString writerWorld;
    bool worldPending = false;
    bool worldOverdue = false;    // a caller gave up waiting for the world
    std::atomic<int> stalled{0};  // commands a caller gave up waiting for

    bool busy() const {  // under the tracker's lock
        // A window that went away keeps its last state readable; its calls fail.
        if (gone)
            return loading || dialogOpen;
        return sessionId.isEmpty() || !stateKnown || loading || dialogOpen || worldOverdue ||
               stalled.load() > 0;
    }
};

class PageTracker {
public:
    // Owns the connection whose events it follows.
    PageTracker();
    ~PageTracker();

    DevToolsConnection& connection() { return *conn_; }

    // After a new connection: the pages it reports are new ones.
    void forgetAll();
    // Pages open before the connection (Target.getTargets), in case their events are late; then
    // waits until each has told its state, or timeout. False when they are more than the
    // tracker keeps: the connection is then broken off.
    bool addOpenPages(const QJsonArray& targetInfos, std::chrono::milliseconds timeout);
    QList<std::shared_ptr<TrackedPage>> pages() const;
    // True once the browser has shown a page, false after timeout.
    bool awaitAnyPage(std::chrono::milliseconds timeout);

    // Counts the page as busy while a caller has given up waiting for one of its commands,
    // until the answer comes after all.
    static DevToolsConnection::StallHook stallHook(const std::shared_ptr<TrackedPage>& page);

    bool busy(const TrackedPage& page) const;
    quint64 loadsStarted(const TrackedPage& page) const;
    QString url(const TrackedPage& page) const;
    // The page's session; throws SiranoError 462 when the page went away.
    QString sessionOf(const TrackedPage& page) const;
    // The context id of the page's isolated world, made when needed. Throws SiranoError 462 when
    // the page went away or the world does not come within timeout.
    QString world(const std::shared_ptr<TrackedPage>& page, std::chrono::milliseconds timeout);
    // The object id of the write function kept in world, or empty when it is not made (yet).
    QString writerOf(const TrackedPage& page, const QString& world) const;
    // Makes the write function in world in the background (once), so that later writes there
    // only call it.
    void requestWriter(const std::shared_ptr<TrackedPage>& page, const QString& world);
    // The world's document went away (Chromium said so): a new one is made on the next call.
    void forgetWorld(TrackedPage& page, const QString& world);

private:
    std::shared_ptr<TrackedPage> findByTarget(const QString& targetId) const;
    std::shared_ptr<TrackedPage> findBySession(const QString& sessionId) const;
    // Null when the tracker holds as many pages as it keeps.
    std::shared_ptr<TrackedPage> addPage(const QJsonObject& info);

    // Worker thread.
    void onEvent(const QString& method, const QJsonObject& params, const QString& session);
    void onPageEvent(const std::shared_ptr<TrackedPage>& page, const QString& method,
                     const QJsonObject& params, const QString& session);
    void onAttached(const QString& session, const QJsonObject& info);
    void readReadyState(const std::shared_ptr<TrackedPage>& page, const QString& session,
                        int tries);
    void onClosed();
    // Any thread; takes the lock itself.
    void createWorld(const std::shared_ptr<TrackedPage>& page);
    void worldDone(const std::shared_ptr<TrackedPage>& page, const QString& session,
                   quint64 document, qint64 contextId);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<TrackedPage>> pages_;  // in the order first seen
    int32_t nextWindowId_ = 1;
    std::unique_ptr<DevToolsConnection> conn_;  // last: stopped before the rest goes
};

}  // namespace sirano
