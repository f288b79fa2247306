#include "PageTracker.h"

#include "browser/PageScripts.h"
#include "browser/ObjectModel.h"

#include <limits>

namespace sirano {

using namespace std::chrono_literals;

namespace {

constexpr int kReadyStateTries = 3;
// Far more tabs than anyone keeps open in SIRANO's own browser; a peer that reports more is
// faulty or hostile, and each page costs memory and work on every tick.
constexpr size_t kMaxPages = 1000;
const QString kTooManyPages = QStringLiteral("the browser reported more pages than the limit");
const QString kWorldName = QStringLiteral("sirano");

bool isListedPage(const QJsonObject& info) {
    // Prerendered pages are pages nobody sees yet.
    return info.value(QLatin1String("type")).toString() == QLatin1String("page") &&
           info.value(QLatin1String("subtype")).toString().isEmpty();
}

}  // namespace

PageTracker::PageTracker()
    : conn_(std::make_unique<DevToolsConnection>(
          [this](const QString& method, const QJsonObject& params, const QString& session) {
              onEvent(method, params, session);
          },
          [this] { onClosed(); })) {}

PageTracker::~PageTracker() = default;

void PageTracker::forgetAll() {
    std::lock_guard lock(mutex_);
    for (const auto& page : pages_)
        page->gone = true;
    pages_.clear();
}

bool PageTracker::addOpenPages(const QJsonArray& targetInfos, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    for (const QJsonValue& info : targetInfos) {
        if (isListedPage(info.toObject()) && !addPage(info.toObject())) {
            lock.unlock();
            conn_->breakOff(kTooManyPages);
            return false;
        }
    }
    changed_.wait_for(lock, timeout, [this] {
        for (const auto& page : pages_) {
            if (page->sessionId.isEmpty() || !page->stateKnown)
                return false;
        }
        return true;
    });
    return true;
}

bool PageTracker::awaitAnyPage(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return !pages_.empty(); });
}

QList<std::shared_ptr<TrackedPage>> PageTracker::pages() const {
    std::lock_guard lock(mutex_);
    return {pages_.begin(), pages_.end()};
}

DevToolsConnection::StallHook PageTracker::stallHook(const std::shared_ptr<TrackedPage>& page) {
    return [page](bool stalled) {
        if (stalled)
            ++page->stalled;
        else
            --page->stalled;
    };
}

bool PageTracker::busy(const TrackedPage& page) const {
    std::lock_guard lock(mutex_);
    return page.busy();
}

quint64 PageTracker::loadsStarted(const TrackedPage& page) const {
    std::lock_guard lock(mutex_);
    return page.loadsStarted;
}

QString PageTracker::url(const TrackedPage& page) const {
    std::lock_guard lock(mutex_);
    return page.url;
}

QString PageTracker::sessionOf(const TrackedPage& page) const {
    std::lock_guard lock(mutex_);
    if (page.gone || page.sessionId.isEmpty())
        throw SiranoError(err::kObjectDisconnected, QStringLiteral("The window was closed."));
    return page.sessionId;
}

QString PageTracker::writerOf(const TrackedPage& page, const QString& world) const {
    std::lock_guard lock(mutex_);
    return page.writerWorld == world ? page.writer : QString();
}

void PageTracker::forgetWorld(TrackedPage& page, const QString& world) {
    std::lock_guard lock(mutex_);
    if (page.world == world)
        page.world.clear();
}

std::shared_ptr<TrackedPage> PageTracker::findByTarget(const QString& targetId) const {
    for (const auto& page : pages_) {
        if (page->targetId == targetId)
            return page;
    }
    return nullptr;
}

std::shared_ptr<TrackedPage> PageTracker::findBySession(const QString& sessionId) const {
    for (const auto& page : pages_) {
        if (page->sessionId == sessionId)
            return page;
    }
    return nullptr;
}

std::shared_ptr<TrackedPage> PageTracker::addPage(const QJsonObject& info) {
    const QString targetId = info.value(QLatin1String("targetId")).toString();
    if (auto page = findByTarget(targetId))
        return page;
    if (pages_.size() >= kMaxPages)
        return nullptr;
    auto page = std::make_shared<TrackedPage>(targetId, nextWindowId_);
    // Never 0, which means "no window" to the automatic fill.
    nextWindowId_ = nextWindowId_ == std::numeric_limits<int32_t>::max() ? 1 : nextWindowId_ + 1;
    page->url = info.value(QLatin1String("url")).toString();
    pages_.push_back(page);
    changed_.notify_all();  // waiters hold the lock only while they wait
    return page;
}

// ---- events (worker thread) ----

void PageTracker::onEvent(const QString& method, const QJsonObject& params,
                          const QString& session) {
    if (!session.isEmpty()) {
        std::shared_ptr<TrackedPage> page;
        {
            std::lock_guard lock(mutex_);
            page = findBySession(session);
        }
        if (page)
            onPageEvent(page, method, params, session);
        return;
    }

    const QJsonObject info = params.value(QLatin1String("targetInfo")).toObject();
    if (method == QLatin1String("Target.targetCreated")) {
        bool added = true;
        if (isListedPage(info)) {
            std::lock_guard lock(mutex_);
            added = addPage(info) != nullptr;
        }
        if (!added)
            conn_->breakOff(kTooManyPages);
    } else if (method == QLatin1String("Target.targetInfoChanged")) {
        bool full = false;
        {
            std::lock_guard lock(mutex_);
            auto page = findByTarget(info.value(QLatin1String("targetId")).toString());
            if (!page && isListedPage(info))
                full = !(page = addPage(info));
            if (page)
                page->url = info.value(QLatin1String("url")).toString();
        }
        if (full)
            conn_->breakOff(kTooManyPages);
    } else if (method == QLatin1String("Target.attachedToTarget")) {
        onAttached(params.value(QLatin1String("sessionId")).toString(), info);
    } else if (method == QLatin1String("Target.detachedFromTarget")) {
        const QString detached = params.value(QLatin1String("sessionId")).toString();
        std::shared_ptr<TrackedPage> page;
        {
            std::lock_guard lock(mutex_);
            page = findBySession(detached);
            if (page) {
                page->sessionId.clear();
                page->world.clear();
            }
        }
        // A pending command of a closed tab never gets an answer: fail it now.
        conn_->failSession(detached, QStringLiteral("The window was closed during the call."));
        if (page) {
            // Still alive (not destroyed): attach again; a closing tab just refuses.
            conn_->send(QStringLiteral("Target.attachToTarget"),
                        QJsonObject{{QStringLiteral("targetId"), page->targetId},
                                    {QStringLiteral("flatten"), true}},
                        QString(), [](const CdpReply&) {});
        }
        changed_.notify_all();
    } else if (method == QLatin1String("Target.targetDestroyed") ||
               method == QLatin1String("Target.targetCrashed")) {
        const QString targetId = params.value(QLatin1String("targetId")).toString();
        const bool destroyed = method == QLatin1String("Target.targetDestroyed");
        QString session;
        {
            std::lock_guard lock(mutex_);
            const auto page = findByTarget(targetId);
            if (!page)
                return;
            session = page->sessionId;
            page->world.clear();
            if (destroyed) {
                page->gone = true;
                std::erase(pages_, page);
            }
        }
        if (!session.isEmpty())
            conn_->failSession(session, QStringLiteral("The window went away during the call."));
        changed_.notify_all();
    }
}

void PageTracker::onAttached(const QString& session, const QJsonObject& info) {
    if (!isListedPage(info))
        return;
    std::shared_ptr<TrackedPage> page;
    {
        std::lock_guard lock(mutex_);
        page = addPage(info);
        if (page) {
            page->sessionId = session;
            page->stateKnown = false;
            page->world.clear();
        }
    }
    if (!page)
        return conn_->breakOff(kTooManyPages);
    conn_->send(QStringLiteral("Page.enable"), {}, session, [](const CdpReply&) {});
    readReadyState(page, session, kReadyStateTries);
    // Made now rather than when the state says loaded: it then costs no round trip of its own.
    // A page still loading replaces it with its new document, and gets another then.
    createWorld(page);
}

void PageTracker::readReadyState(const std::shared_ptr<TrackedPage>& page, const QString& session,
                                 int tries) {
    // A page already loading when first seen sends no start event: ask it once.
    quint64 eventsBefore = 0;
    {
        std::lock_guard lock(mutex_);
        eventsBefore = page->loadEvents;
    }
    const QJsonObject params{
        {QStringLiteral("expression"), QStringLiteral("[document.readyState, document.URL]")},
        {QStringLiteral("returnByValue"), true}};
    auto answered = [this, page, session, eventsBefore, tries](const CdpReply& reply) {
        if (reply.status == CdpReply::Status::Error && tries > 1)
            return readReadyState(page, session, tries - 1);
        if (!reply.ok())
            return;
        const QJsonArray answer = reply.result.value(QLatin1String("result"))
                                      .toObject()
                                      .value(QLatin1String("value"))
                                      .toArray();
        bool loaded = false;
        {
            std::lock_guard lock(mutex_);
            if (page->sessionId != session || page->loadEvents != eventsBefore)
                return;  // a load event since is newer than this answer
            // A new tab shows its initial blank document while its first navigation waits
            // for an answer: that navigation is under way.
            const bool initialBlank = answer.at(1).toString() == QLatin1String("about:blank") &&
                                      !page->url.isEmpty() &&
                                      page->url != QLatin1String("about:blank");
            page->stateKnown = true;
            page->loading = answer.at(0).toString() != QLatin1String("complete") || initialBlank;
            loaded = !page->loading;
        }
        changed_.notify_all();
        if (loaded)
            createWorld(page);
    };
    conn_->send(QStringLiteral("Runtime.evaluate"), params, session, std::move(answered));
}

void PageTracker::onPageEvent(const std::shared_ptr<TrackedPage>& page, const QString& method,
                              const QJsonObject& params, const QString& session) {
    bool loaded = false;
    {
        std::lock_guard lock(mutex_);
        const QString frameId = params.value(QLatin1String("frameId")).toString();
        if (method == QLatin1String("Page.frameStartedLoading")) {
            if (frameId != page->mainFrameId)
                return;
            page->loading = true;
            page->stateKnown = true;
            ++page->loadEvents;
            ++page->loadsStarted;
        } else if (method == QLatin1String("Page.frameStoppedLoading")) {
            if (frameId != page->mainFrameId)
                return;
            page->loading = false;
            page->stateKnown = true;
            ++page->loadEvents;
            loaded = page->world.isEmpty();
        } else if (method == QLatin1String("Page.frameNavigated")) {
            const QJsonObject frame = params.value(QLatin1String("frame")).toObject();
            if (frame.contains(QLatin1String("parentId")))
                return;
            page->mainFrameId = frame.value(QLatin1String("id")).toString();
            ++page->documents;
            page->world.clear();  // it belonged to the document that just went
            // A new document loads until its frame stops loading, even when the start of its
            // navigation came before we were listening. A page restored from the back-forward
            // cache is whole already (its stop event came first).
            if (params.value(QLatin1String("type")).toString() !=
                QLatin1String("BackForwardCacheRestore")) {
                page->loading = true;
                page->stateKnown = true;
                ++page->loadEvents;
                ++page->loadsStarted;
            }
        } else if (method == QLatin1String("Page.javascriptDialogOpening")) {
            page->dialogOpen = true;
        } else if (method == QLatin1String("Page.javascriptDialogClosed")) {
            page->dialogOpen = false;
        } else if (method == QLatin1String("Inspector.targetCrashed")) {
            page->world.clear();
        } else {
            return;
        }
    }
    if (method == QLatin1String("Inspector.targetCrashed"))
        conn_->failSession(session, QStringLiteral("The page crashed during the call."));
    changed_.notify_all();
    if (loaded)
        createWorld(page);
}

void PageTracker::onClosed() {
    {
        std::lock_guard lock(mutex_);
        for (const auto& page : pages_)
            page->gone = true;
        pages_.clear();
    }
    changed_.notify_all();
}

// ---- the isolated world ----

// One command, whatever else lives in the page: the world is known by the context id the
// creation answers, and forgotten when the main frame commits another document. A call that
// still reaches an id of the old document's renderer after a cross-process navigation fails
// ("Cannot find context") or lands in a world of the new document; the write script itself
// refuses a document of another origin than the one the caller matched, so values never reach
// another site.
void PageTracker::createWorld(const std::shared_ptr<TrackedPage>& page) {
    QString session;
    QString frameId;
    quint64 document = 0;
    {
        std::lock_guard lock(mutex_);
        if (page->worldPending || !page->world.isEmpty() || page->sessionId.isEmpty() || page->gone)
            return;
        page->worldPending = true;
        session = page->sessionId;
        frameId = page->mainFrameId;
        document = page->documents;
    }
    conn_->send(
        QStringLiteral("Page.createIsolatedWorld"),
        QJsonObject{{QStringLiteral("frameId"), frameId},
                    {QStringLiteral("worldName"), kWorldName},
                    {QStringLiteral("grantUniveralAccess"), false}},
        session, [this, page, session, document](const CdpReply& created) {
            const qint64 contextId =
                created.ok()
                    ? created.result.value(QLatin1String("executionContextId")).toInteger(-1)
                    : -1;
            worldDone(page, session, document, contextId);
        });
}

void PageTracker::worldDone(const std::shared_ptr<TrackedPage>& page, const QString& session,
                            quint64 document, qint64 contextId) {
    bool again = false;
    {
        std::lock_guard lock(mutex_);
        page->worldPending = false;
        page->worldOverdue = false;
        const bool sameSession = page->sessionId == session;  // else attached anew, made there
        if (sameSession && page->documents == document && contextId > 0)
            page->world = QString::number(contextId);
        // A new document that finished loading while this world was made for the old one.
        again = sameSession && page->documents != document && !page->loading && !page->gone;
    }
    changed_.notify_all();
    if (again)
        createWorld(page);
}

// The function lives in the isolated world, out of the page's reach, for as long as the world.
// Made on the first write, not with the world: most pages are never written, and a short-lived
// sirano-cli writes each page once.
void PageTracker::requestWriter(const std::shared_ptr<TrackedPage>& page, const QString& world) {
    QString session;
    {
        std::lock_guard lock(mutex_);
        if (page->world != world || page->writerWorld == world || page->sessionId.isEmpty())
            return;  // gone, made, or under way
        page->writerWorld = world;
        page->writer.clear();
        session = page->sessionId;
    }
    const QJsonObject params{
        {QStringLiteral("expression"), QStringLiteral("(%1)").arg(pagescripts::writeFunction())},
        {QStringLiteral("contextId"), world.toLongLong()},
        {QStringLiteral("silent"), true}};
    conn_->send(QStringLiteral("Runtime.evaluate"), params, session,
                [this, page, world](const CdpReply& reply) {
                    const QString id = reply.result.value(QLatin1String("result"))
                                           .toObject()
                                           .value(QLatin1String("objectId"))
                                           .toString();
                    if (!reply.ok() || id.isEmpty())
                        return;
                    std::lock_guard lock(mutex_);
                    if (page->writerWorld == world)
                        page->writer = id;
                });
}

QString PageTracker::world(const std::shared_ptr<TrackedPage>& page,
                           std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int attempts = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (page->gone || page->sessionId.isEmpty())
            throw SiranoError(err::kObjectDisconnected, QStringLiteral("The window was closed."));
        if (!page->world.isEmpty())
            return page->world;
        if (!page->worldPending) {
            if (attempts++ == 2) {
                throw SiranoError(
                    err::kObjectDisconnected,
                    QStringLiteral("The page refused an isolated world for the call."));
            }
            lock.unlock();
            createWorld(page);
            lock.lock();
            continue;
        }
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && page->worldPending) {
            page->worldOverdue = true;
            throw SiranoError(err::kObjectDisconnected,
                              QStringLiteral("The page did not answer in time."));
        }
    }
}

}  // namespace sirano
