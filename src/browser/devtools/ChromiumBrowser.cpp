#include "ChromiumBrowser.h"

#include "DevToolsConnection.h"
#include "PageScripts.h"

#include <QHash>
#include <QJsonArray>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace sirano {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kConnectTimeout = 1000ms;
constexpr auto kFirstSightWait = 1000ms;
// After a connection attempt that hung (the port now belongs to something else), the tick
// must not hang on it every second.
constexpr auto kRetryAfterHang = 5s;
constexpr int kReadyStateTries = 3;
const QString kWorldName = QStringLiteral("sirano");

struct Page {
    explicit Page(QString target, int32_t number)
        : targetId(std::move(target)), mainFrameId(targetId), hwnd(number) {}

    const QString targetId;
    // Everything below is guarded by Core::mutex, except stalled.
    QString mainFrameId;
    const int32_t hwnd;
    QString sessionId;
    QString url;
    bool stateKnown = false;  // busy-or-not learnt from an event or from readyState
    bool loading = false;
    bool dialogOpen = false;
    bool gone = false;
    quint64 loadEvents = 0;
    quint64 documents = 0;  // main-frame documents committed
    QString world;          // unique id of our isolated world in the current document
    bool worldPending = false;
    bool worldOverdue = false;  // a caller gave up waiting for the world
    QHash<qint64, QString> contexts;
    std::atomic<int> stalled{0};  // commands a caller gave up waiting for

    bool busy() const {
        // A window that went away keeps its last state readable; its calls fail.
        if (gone)
            return loading || dialogOpen;
        return sessionId.isEmpty() || !stateKnown || loading || dialogOpen || worldOverdue ||
               stalled.load() > 0;
    }
};

SiranoError disconnected(const QString& why) {
    return SiranoError(err::kObjectDisconnected, why);
}

bool isListedPage(const QJsonObject& info) {
    // Prerendered pages are pages nobody sees yet.
    return info.value(QLatin1String("type")).toString() == QLatin1String("page") &&
           info.value(QLatin1String("subtype")).toString().isEmpty();
}

// Chromium's answers when the world's document is gone.
bool isStaleContext(const QString& message) {
    return message.contains(QLatin1String("uniqueContextId not found")) ||
           message.contains(QLatin1String("Cannot find context"));
}

}  // namespace

struct ChromiumBrowser::Core {
    explicit Core(Options o)
        : options(std::move(o)),
          conn(std::make_unique<DevToolsConnection>(
              [this](const QString& method, const QJsonObject& params, const QString& session) {
                  onEvent(method, params, session);
              },
              [this] { onClosed(); })) {}

    bool ensureConnected();
    std::shared_ptr<Page> findByTarget(const QString& targetId) const;
    std::shared_ptr<Page> findBySession(const QString& sessionId) const;
    std::shared_ptr<Page> addPage(const QJsonObject& info);

    // Worker thread.
    void onEvent(const QString& method, const QJsonObject& params, const QString& session);
    void onPageEvent(const std::shared_ptr<Page>& page, const QString& method,
                     const QJsonObject& params, const QString& session);
    void onAttached(const QString& session, const QJsonObject& info);
    void readReadyState(const std::shared_ptr<Page>& page, const QString& session, int tries);
    void onClosed();
    // Any thread; takes the lock itself.
    void createWorld(const std::shared_ptr<Page>& page);
    void worldDone(const std::shared_ptr<Page>& page, const QString& session, quint64 document,
                   qint64 contextId);

    // Caller thread.
    QString ensureWorld(const std::shared_ptr<Page>& page);
    CdpReply pageCall(const std::shared_ptr<Page>& page, const QString& method,
                      const QJsonObject& params);
    QJsonObject evaluateInWorld(const std::shared_ptr<Page>& page, const QString& method,
                                QJsonObject params);
    void browserCall(const QString& method, const QJsonObject& params);

    const Options options;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<Page>> pages;  // in the order first seen
    int32_t nextHwnd = 1;
    Clock::time_point retryAfter{};
    std::unique_ptr<DevToolsConnection> conn;  // last: stopped before the rest goes
};

namespace {

class ChromiumWindow final : public BrowserWindow {
public:
    ChromiumWindow(std::shared_ptr<ChromiumBrowser::Core> core, std::shared_ptr<Page> page)
        : core_(std::move(core)), page_(std::move(page)) {}

    bool busy() const override {
        std::lock_guard lock(core_->mutex);
        return page_->busy();
    }
    QString locationUrl() const override {
        std::lock_guard lock(core_->mutex);
        observedUrl_ = page_->url;
        return observedUrl_;
    }
    int32_t hwnd() const override { return page_->hwnd; }

    PageSnapshot readPage() override {
        const QJsonObject value = core_->evaluateInWorld(
            page_, QStringLiteral("Runtime.evaluate"),
            QJsonObject{{QStringLiteral("expression"), pagescripts::readExpression()}});
        return pagescripts::decodeSnapshot(value);
    }

    WriteResult writeFields(const QList<FieldEdit>& edits) override {
        // The origin the caller saw (and matched) is the only one that may receive the values:
        // a page that moved to another site in between refuses them.
        const QString observed = observedUrl_.startsWith(QLatin1String("http"), Qt::CaseInsensitive)
                                     ? observedUrl_
                                     : QString();
        const QJsonArray arguments{
            QJsonObject{{QStringLiteral("value"), pagescripts::encodeEdits(edits)}},
            QJsonObject{{QStringLiteral("value"), observed}}};
        const QJsonObject value = core_->evaluateInWorld(
            page_, QStringLiteral("Runtime.callFunctionOn"),
            QJsonObject{{QStringLiteral("functionDeclaration"), pagescripts::writeFunction()},
                        {QStringLiteral("arguments"), arguments}});
        return pagescripts::decodeWriteResult(value);
    }

    void openInBackground(const QString& url) override {
        core_->browserCall(
            QStringLiteral("Target.createTarget"),
            QJsonObject{{QStringLiteral("url"), url}, {QStringLiteral("background"), true}});
    }

private:
    std::shared_ptr<ChromiumBrowser::Core> core_;
    std::shared_ptr<Page> page_;
    mutable QString observedUrl_;
};

}  // namespace

// ---- connection and discovery ----

bool ChromiumBrowser::Core::ensureConnected() {
    if (conn->isOpen())
        return true;
    if (Clock::now() < retryAfter)
        return false;
    const std::optional<QUrl> endpoint =
        options.port
            ? queryBrowserEndpoint(*options.port, static_cast<int>(kConnectTimeout.count()))
            : readDevToolsActivePort(options.profileFolder);
    if (!endpoint)
        return false;
    {
        std::lock_guard lock(mutex);
        for (const auto& page : pages)
            page->gone = true;
        pages.clear();
    }
    const auto started = Clock::now();
    if (!conn->open(*endpoint, kConnectTimeout)) {
        if (Clock::now() - started >= kConnectTimeout / 2)
            retryAfter = Clock::now() + kRetryAfterHang;
        return false;
    }

    const QJsonArray pagesOnly{QJsonObject{{QStringLiteral("type"), QStringLiteral("page")}}};
    const std::pair<QString, QJsonObject> setup[] = {
        {QStringLiteral("Target.setDiscoverTargets"),
         QJsonObject{{QStringLiteral("discover"), true}, {QStringLiteral("filter"), pagesOnly}}},
        {QStringLiteral("Target.setAutoAttach"),
         QJsonObject{{QStringLiteral("autoAttach"), true},
                     {QStringLiteral("waitForDebuggerOnStart"), false},
                     {QStringLiteral("flatten"), true},
                     {QStringLiteral("filter"), pagesOnly}}},
    };
    for (const auto& [method, params] : setup) {
        const CdpReply reply = conn->call(method, params, QString(), options.callTimeout);
        if (reply.status == CdpReply::Status::Error) {
            throw SiranoError(
                err::kObjectDisconnected,
                QStringLiteral("The browser refused %1: %2").arg(method, reply.message));
        }
        if (!reply.ok())
            return false;
    }

    // The events of the pages already open may still be on their way: take the list once, so
    // that the first answer holds every page. They answer their state within milliseconds; a page
    // that holds its commands (a navigation waiting for its first byte) simply stays busy.
    const CdpReply open =
        conn->call(QStringLiteral("Target.getTargets"), {}, QString(), options.callTimeout);
    std::unique_lock lock(mutex);
    for (const QJsonValue& info : open.result.value(QLatin1String("targetInfos")).toArray()) {
        if (isListedPage(info.toObject()))
            addPage(info.toObject());
    }
    changed.wait_for(lock, kFirstSightWait, [this] {
        for (const auto& page : pages) {
            if (page->sessionId.isEmpty() || !page->stateKnown)
                return false;
        }
        return true;
    });
    return true;
}

std::shared_ptr<Page> ChromiumBrowser::Core::findByTarget(const QString& targetId) const {
    for (const auto& page : pages) {
        if (page->targetId == targetId)
            return page;
    }
    return nullptr;
}

std::shared_ptr<Page> ChromiumBrowser::Core::findBySession(const QString& sessionId) const {
    for (const auto& page : pages) {
        if (page->sessionId == sessionId)
            return page;
    }
    return nullptr;
}

std::shared_ptr<Page> ChromiumBrowser::Core::addPage(const QJsonObject& info) {
    const QString targetId = info.value(QLatin1String("targetId")).toString();
    if (auto page = findByTarget(targetId))
        return page;
    auto page = std::make_shared<Page>(targetId, nextHwnd++);
    if (nextHwnd <= 0)
        nextHwnd = 1;  // 0 means "no window" to the automatic fill
    page->url = info.value(QLatin1String("url")).toString();
    pages.push_back(page);
    return page;
}

// ---- events (worker thread) ----

void ChromiumBrowser::Core::onEvent(const QString& method, const QJsonObject& params,
                                    const QString& session) {
    if (!session.isEmpty()) {
        std::shared_ptr<Page> page;
        {
            std::lock_guard lock(mutex);
            page = findBySession(session);
        }
        if (page)
            onPageEvent(page, method, params, session);
        return;
    }

    const QJsonObject info = params.value(QLatin1String("targetInfo")).toObject();
    if (method == QLatin1String("Target.targetCreated")) {
        if (isListedPage(info)) {
            std::lock_guard lock(mutex);
            addPage(info);
        }
    } else if (method == QLatin1String("Target.targetInfoChanged")) {
        std::lock_guard lock(mutex);
        auto page = findByTarget(info.value(QLatin1String("targetId")).toString());
        if (!page && isListedPage(info))
            page = addPage(info);
        if (page)
            page->url = info.value(QLatin1String("url")).toString();
    } else if (method == QLatin1String("Target.attachedToTarget")) {
        onAttached(params.value(QLatin1String("sessionId")).toString(), info);
    } else if (method == QLatin1String("Target.detachedFromTarget")) {
        const QString detached = params.value(QLatin1String("sessionId")).toString();
        std::shared_ptr<Page> page;
        {
            std::lock_guard lock(mutex);
            page = findBySession(detached);
            if (page) {
                page->sessionId.clear();
                page->world.clear();
            }
        }
        // A pending command of a closed tab never gets an answer: fail it now.
        conn->failSession(detached, QStringLiteral("The window was closed during the call."));
        if (page) {
            // Still alive (not destroyed): attach again; a closing tab just refuses.
            conn->send(QStringLiteral("Target.attachToTarget"),
                       QJsonObject{{QStringLiteral("targetId"), page->targetId},
                                   {QStringLiteral("flatten"), true}},
                       QString(), [](const CdpReply&) {});
        }
        changed.notify_all();
    } else if (method == QLatin1String("Target.targetDestroyed") ||
               method == QLatin1String("Target.targetCrashed")) {
        const QString targetId = params.value(QLatin1String("targetId")).toString();
        const bool destroyed = method == QLatin1String("Target.targetDestroyed");
        QString session;
        {
            std::lock_guard lock(mutex);
            const auto page = findByTarget(targetId);
            if (!page)
                return;
            session = page->sessionId;
            page->world.clear();
            if (destroyed) {
                page->gone = true;
                std::erase(pages, page);
            }
        }
        if (!session.isEmpty())
            conn->failSession(session, QStringLiteral("The window went away during the call."));
        changed.notify_all();
    }
}

void ChromiumBrowser::Core::onAttached(const QString& session, const QJsonObject& info) {
    if (!isListedPage(info))
        return;
    std::shared_ptr<Page> page;
    {
        std::lock_guard lock(mutex);
        page = addPage(info);
        page->sessionId = session;
        page->stateKnown = false;
        page->world.clear();
    }
    conn->send(QStringLiteral("Page.enable"), {}, session, [](const CdpReply&) {});
    readReadyState(page, session, kReadyStateTries);
}

void ChromiumBrowser::Core::readReadyState(const std::shared_ptr<Page>& page,
                                           const QString& session, int tries) {
    // A page already loading when first seen sends no start event: ask it once.
    quint64 eventsBefore = 0;
    {
        std::lock_guard lock(mutex);
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
            std::lock_guard lock(mutex);
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
        changed.notify_all();
        if (loaded)
            createWorld(page);
    };
    conn->send(QStringLiteral("Runtime.evaluate"), params, session, std::move(answered));
}

void ChromiumBrowser::Core::onPageEvent(const std::shared_ptr<Page>& page, const QString& method,
                                        const QJsonObject& params, const QString& session) {
    bool loaded = false;
    {
        std::lock_guard lock(mutex);
        const QString frameId = params.value(QLatin1String("frameId")).toString();
        if (method == QLatin1String("Page.frameStartedLoading")) {
            if (frameId != page->mainFrameId)
                return;
            page->loading = true;
            page->stateKnown = true;
            ++page->loadEvents;
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
            }
        } else if (method == QLatin1String("Page.javascriptDialogOpening")) {
            page->dialogOpen = true;
        } else if (method == QLatin1String("Page.javascriptDialogClosed")) {
            page->dialogOpen = false;
        } else if (method == QLatin1String("Runtime.executionContextCreated")) {
            if (!page->worldPending)
                return;
            const QJsonObject context = params.value(QLatin1String("context")).toObject();
            page->contexts.insert(context.value(QLatin1String("id")).toInteger(),
                                  context.value(QLatin1String("uniqueId")).toString());
            return;
        } else if (method == QLatin1String("Inspector.targetCrashed")) {
            page->world.clear();
        } else {
            return;
        }
    }
    if (method == QLatin1String("Inspector.targetCrashed"))
        conn->failSession(session, QStringLiteral("The page crashed during the call."));
    changed.notify_all();
    if (loaded)
        createWorld(page);
}

void ChromiumBrowser::Core::onClosed() {
    {
        std::lock_guard lock(mutex);
        for (const auto& page : pages)
            page->gone = true;
        pages.clear();
    }
    changed.notify_all();
}

// ---- the isolated world ----

// Runtime.enable only for as long as it takes to learn the world's unique id: a context id may
// be reused by another renderer process after a cross-site navigation, the unique id never is.
void ChromiumBrowser::Core::createWorld(const std::shared_ptr<Page>& page) {
    QString session;
    QString frameId;
    quint64 document = 0;
    {
        std::lock_guard lock(mutex);
        if (page->worldPending || !page->world.isEmpty() || page->sessionId.isEmpty() || page->gone)
            return;
        page->worldPending = true;
        page->contexts.clear();
        session = page->sessionId;
        frameId = page->mainFrameId;
        document = page->documents;
    }
    auto failed = [this, page, session, document](const CdpReply&) {
        worldDone(page, session, document, -1);
    };
    conn->send(
        QStringLiteral("Runtime.enable"), {}, session,
        [this, page, session, frameId, document, failed](const CdpReply& enabled) {
            if (!enabled.ok())
                return failed(enabled);
            conn->send(
                QStringLiteral("Page.createIsolatedWorld"),
                QJsonObject{{QStringLiteral("frameId"), frameId},
                            {QStringLiteral("worldName"), kWorldName},
                            {QStringLiteral("grantUniveralAccess"), false}},
                session, [this, page, session, document](const CdpReply& created) {
                    const qint64 contextId =
                        created.ok()
                            ? created.result.value(QLatin1String("executionContextId")).toInteger()
                            : -1;
                    // The context's creation event precedes this answer.
                    conn->send(QStringLiteral("Runtime.disable"), {}, session,
                               [this, page, session, document, contextId](const CdpReply&) {
                                   worldDone(page, session, document, contextId);
                               });
                });
        });
}

void ChromiumBrowser::Core::worldDone(const std::shared_ptr<Page>& page, const QString& session,
                                      quint64 document, qint64 contextId) {
    {
        std::lock_guard lock(mutex);
        page->worldPending = false;
        page->worldOverdue = false;
        const QString unique = page->contexts.value(contextId);
        page->contexts.clear();
        if (contextId >= 0 && !unique.isEmpty() && page->sessionId == session &&
            page->documents == document)
            page->world = unique;
    }
    changed.notify_all();
}

QString ChromiumBrowser::Core::ensureWorld(const std::shared_ptr<Page>& page) {
    const auto deadline = Clock::now() + options.callTimeout;
    int attempts = 0;
    std::unique_lock lock(mutex);
    for (;;) {
        if (page->gone || page->sessionId.isEmpty())
            throw disconnected(QStringLiteral("The window was closed."));
        if (!page->world.isEmpty())
            return page->world;
        if (!page->worldPending) {
            if (attempts++ == 2) {
                throw disconnected(
                    QStringLiteral("The page refused an isolated world for the call."));
            }
            lock.unlock();
            createWorld(page);
            lock.lock();
            continue;
        }
        if (changed.wait_until(lock, deadline) == std::cv_status::timeout && page->worldPending) {
            page->worldOverdue = true;
            throw disconnected(QStringLiteral("The page did not answer in time."));
        }
    }
}

// ---- calls ----

CdpReply ChromiumBrowser::Core::pageCall(const std::shared_ptr<Page>& page, const QString& method,
                                         const QJsonObject& params) {
    QString session;
    {
        std::lock_guard lock(mutex);
        if (page->gone || page->sessionId.isEmpty())
            throw disconnected(QStringLiteral("The window was closed."));
        session = page->sessionId;
    }
    CdpReply reply = conn->call(method, params, session, options.callTimeout, [page](bool stalled) {
        if (stalled)
            ++page->stalled;
        else
            --page->stalled;
    });
    switch (reply.status) {
        case CdpReply::Status::Timeout:
            throw disconnected(
                QStringLiteral("The page did not answer in time (%1).").arg(reply.message));
        case CdpReply::Status::Closed:
            throw disconnected(reply.message);
        default:
            return reply;
    }
}

QJsonObject ChromiumBrowser::Core::evaluateInWorld(const std::shared_ptr<Page>& page,
                                                   const QString& method, QJsonObject params) {
    params.insert(QStringLiteral("returnByValue"), true);
    params.insert(QStringLiteral("silent"), true);
    for (int attempt = 0;; ++attempt) {
        const QString world = ensureWorld(page);
        params.insert(QStringLiteral("uniqueContextId"), world);
        const CdpReply reply = pageCall(page, method, params);
        if (reply.status == CdpReply::Status::Error) {
            if (attempt == 0 && isStaleContext(reply.message)) {
                // The document changed under the world: make a new one and go again.
                std::lock_guard lock(mutex);
                if (page->world == world)
                    page->world.clear();
                continue;
            }
            throw disconnected(
                QStringLiteral("The browser refused the call: %1").arg(reply.message));
        }
        const QJsonObject exception =
            reply.result.value(QLatin1String("exceptionDetails")).toObject();
        if (!exception.isEmpty()) {
            const QString text = exception.value(QLatin1String("exception"))
                                     .toObject()
                                     .value(QLatin1String("description"))
                                     .toString();
            throw SiranoError(
                err::kNoSuchMember,
                QStringLiteral("The page refused the call: %1")
                    .arg(text.isEmpty() ? exception.value(QLatin1String("text")).toString()
                                        : text));
        }
        return reply.result.value(QLatin1String("result"))
            .toObject()
            .value(QLatin1String("value"))
            .toObject();
    }
}

void ChromiumBrowser::Core::browserCall(const QString& method, const QJsonObject& params) {
    const CdpReply reply = conn->call(method, params, QString(), options.callTimeout);
    if (reply.status == CdpReply::Status::Error)
        throw disconnected(QStringLiteral("The browser refused %1: %2").arg(method, reply.message));
    if (!reply.ok())
        throw disconnected(reply.message);
}

// ---- the Browser ----

ChromiumBrowser::ChromiumBrowser(Options options)
    : core_(std::make_shared<Core>(std::move(options))) {}

ChromiumBrowser::~ChromiumBrowser() = default;

QList<std::shared_ptr<BrowserWindow>> ChromiumBrowser::windows() {
    QList<std::shared_ptr<BrowserWindow>> result;
    if (!core_->ensureConnected())
        return result;
    std::lock_guard lock(core_->mutex);
    for (const auto& page : core_->pages)
        result.append(std::make_shared<ChromiumWindow>(core_, page));
    return result;
}

void ChromiumBrowser::openInNewBrowser(const QString& url) {
    lastStartedPid_ = startChromium(core_->options.launch, core_->options.profileFolder,
                                    core_->options.port.value_or(0), url);
    core_->retryAfter = {};
}

ChromiumBrowser::Traffic ChromiumBrowser::traffic() const {
    return Traffic{core_->conn->commandsSent(), core_->conn->callsWaited()};
}

bool ChromiumBrowser::connected() const {
    return core_->conn->isOpen();
}

}  // namespace sirano
