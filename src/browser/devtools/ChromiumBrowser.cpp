#include "ChromiumBrowser.h"

#include "PageScripts.h"
#include "PageTracker.h"
#include "browser/Matching.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <thread>
#include <vector>

namespace sirano {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr auto kConnectTimeout = 1000ms;
constexpr auto kFirstSightWait = 1000ms;
// After a connection attempt that hung (the port now belongs to something else), the tick
// must not hang on it every second.
constexpr auto kRetryAfterHang = 5s;

SiranoError disconnected(const QString& why) {
    return SiranoError(err::kObjectDisconnected, why);
}

// Chromium's answers when the world's document is gone.
bool isStaleContext(const QString& message) {
    return message.contains(QLatin1String("uniqueContextId not found")) ||
           message.contains(QLatin1String("Cannot find context")) ||
           message.contains(QLatin1String("Could not find object with given id"));
}

// A text as a JSON string, quotes included.
QByteArray jsonString(const QString& text) {
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// Calls the write function kept in the page's world, which it is called on.
const char kCallWriter[] = "function (edits, observedUrl) { return this(edits, observedUrl); }";

// A page that leaves a call unanswered counts as busy until the answer comes after all.
DevToolsConnection::StallHook stallCounter(const std::shared_ptr<TrackedPage>& page) {
    return [page](bool stalled) {
        if (stalled)
            ++page->stalled;
        else
            --page->stalled;
    };
}

// The answer of a page call, or the failure a timeout or a closed page is.
CdpReply answered(CdpReply reply) {
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

}  // namespace

struct ChromiumBrowser::Core {
    explicit Core(Options o) : options(std::move(o)) {}

    bool ensureConnected();
    // Waits until the browser started as pid has written its DevToolsActivePort anew and takes
    // the connection; false when it ends or does not within the launch's startTimeout.
    bool awaitStarted(qint64 pid, const PortFileStamp& before);
    // A new tab showing url; in a browser just started it takes the place of the start page.
    void openAddress(const QString& url, bool replaceStartPage);
    CdpReply pageCall(const std::shared_ptr<TrackedPage>& page, const QString& method,
                      const QJsonObject& params);
    // A page call already sent: its answer, or SiranoError 462 when none came.
    CdpReply answerOf(PendingCall& call);
    std::shared_ptr<PendingCall> startPageCall(const std::shared_ptr<TrackedPage>& page,
                                               const QString& method, const QByteArray& params);
    QJsonObject evaluateInWorld(const std::shared_ptr<TrackedPage>& page, const QString& method,
                                QJsonObject params);
    // The edits as JSON, encoded once for all the windows a fill writes the same list to.
    const QByteArray& encodedEdits(const QList<FieldEdit>& edits);
    // The arguments of a write call: the edits and the address the caller matched.
    QByteArray writeArguments(const QList<FieldEdit>& edits, const QString& observedUrl);
    struct SentWrite {
        QString world;
        bool calledKeptFunction = false;
        std::shared_ptr<PendingCall> call;
    };
    // Throws SiranoError 462 when the page has no world for it.
    SentWrite sendWrite(const std::shared_ptr<TrackedPage>& page, const QByteArray& arguments);
    WriteResult takeWrite(const std::shared_ptr<TrackedPage>& page, const QByteArray& arguments,
                          SentWrite sent);
    void browserCall(const QString& method, const QJsonObject& params);

    const Options options;
    PageTracker tracker;
    const QByteArray writeFunction = jsonString(pagescripts::writeFunction());
    const QByteArray callWriter = jsonString(QString::fromLatin1(kCallWriter));
    QList<FieldEdit> lastEdits;  // shares its data with the caller's list while it is the same
    QByteArray lastEditsJson;
    SteadyClock::time_point retryAfter{};
};

namespace {

class ChromiumWindow final : public BrowserWindow {
public:
    ChromiumWindow(std::shared_ptr<ChromiumBrowser::Core> core, std::shared_ptr<TrackedPage> page)
        : core_(std::move(core)), page_(std::move(page)) {}

    bool busy() const override { return core_->tracker.busy(*page_); }
    QString locationUrl() const override {
        observedUrl_ = core_->tracker.url(*page_);
        return observedUrl_;
    }
    int32_t windowId() const override { return page_->windowId; }
    quint64 loadsStarted() const override { return core_->tracker.loadsStarted(*page_); }

    PageSnapshot readPage() override { return startRead()->take(); }

    std::unique_ptr<PendingRead> startRead() override;

    WriteResult writeFields(const QList<FieldEdit>& edits) override {
        return startWrite(edits)->take();
    }

    std::unique_ptr<PendingWrite> startWrite(const QList<FieldEdit>& edits) override;

    void openInBackground(const QString& url) override {
        // A hand-shortened address would otherwise open an empty tab.
        core_->browserCall(QStringLiteral("Target.createTarget"),
                           QJsonObject{{QStringLiteral("url"), openableAddress(url)},
                                       {QStringLiteral("background"), true}});
    }

private:
    std::shared_ptr<ChromiumBrowser::Core> core_;
    std::shared_ptr<TrackedPage> page_;
    mutable QString observedUrl_;
};

QJsonObject readParams(const QString& world) {
    return QJsonObject{{QStringLiteral("expression"), pagescripts::readExpression()},
                       {QStringLiteral("returnByValue"), true},
                       {QStringLiteral("silent"), true},
                       {QStringLiteral("uniqueContextId"), world}};
}

// The value the page script returned; SiranoError 438 when it threw.
QJsonObject scriptValue(const CdpReply& reply) {
    const QJsonObject exception = reply.result.value(QLatin1String("exceptionDetails")).toObject();
    if (!exception.isEmpty()) {
        const QString text = exception.value(QLatin1String("exception"))
                                 .toObject()
                                 .value(QLatin1String("description"))
                                 .toString();
        throw SiranoError(
            err::kNoSuchMember,
            QStringLiteral("The page refused the call: %1")
                .arg(text.isEmpty() ? exception.value(QLatin1String("text")).toString() : text));
    }
    return reply.result.value(QLatin1String("result"))
        .toObject()
        .value(QLatin1String("value"))
        .toObject();
}

class ChromiumRead final : public PendingRead {
public:
    ChromiumRead(std::shared_ptr<ChromiumBrowser::Core> core, std::shared_ptr<TrackedPage> page)
        : core_(std::move(core)), page_(std::move(page)) {
        try {
            world_ = core_->tracker.world(page_, core_->options.callTimeout);
            call_ = core_->startPageCall(
                page_, QStringLiteral("Runtime.evaluate"),
                QJsonDocument(readParams(world_)).toJson(QJsonDocument::Compact));
        } catch (const SiranoError& e) {
            failure_ = e;
        }
    }

    PageSnapshot take() override {
        if (failure_)
            throw *failure_;
        const CdpReply reply = core_->answerOf(*call_);
        if (reply.status == CdpReply::Status::Error) {
            if (!isStaleContext(reply.message))
                throw disconnected(
                    QStringLiteral("The browser refused the call: %1").arg(reply.message));
            // The document changed under the world: once more, one by one, in a new one.
            core_->tracker.forgetWorld(*page_, world_);
            return pagescripts::decodeSnapshot(core_->evaluateInWorld(
                page_, QStringLiteral("Runtime.evaluate"),
                QJsonObject{{QStringLiteral("expression"), pagescripts::readExpression()}}));
        }
        return pagescripts::decodeSnapshot(scriptValue(reply));
    }

private:
    std::shared_ptr<ChromiumBrowser::Core> core_;
    std::shared_ptr<TrackedPage> page_;
    QString world_;
    std::shared_ptr<PendingCall> call_;
    std::optional<SiranoError> failure_;
};

std::unique_ptr<PendingRead> ChromiumWindow::startRead() {
    return std::make_unique<ChromiumRead>(core_, page_);
}

class ChromiumWrite final : public PendingWrite {
public:
    ChromiumWrite(std::shared_ptr<ChromiumBrowser::Core> core, std::shared_ptr<TrackedPage> page,
                  const QList<FieldEdit>& edits, const QString& observedUrl)
        : core_(std::move(core)), page_(std::move(page)) {
        try {
            arguments_ = core_->writeArguments(edits, observedUrl);
            sent_ = core_->sendWrite(page_, arguments_);
        } catch (const SiranoError& e) {
            failure_ = e;
        }
    }

    WriteResult take() override {
        if (failure_)
            throw *failure_;
        return core_->takeWrite(page_, arguments_, std::move(sent_));
    }

private:
    std::shared_ptr<ChromiumBrowser::Core> core_;
    std::shared_ptr<TrackedPage> page_;
    QByteArray arguments_;
    ChromiumBrowser::Core::SentWrite sent_;
    std::optional<SiranoError> failure_;
};

std::unique_ptr<PendingWrite> ChromiumWindow::startWrite(const QList<FieldEdit>& edits) {
    // The origin the caller saw (and matched) is the only one that may receive the values: a page
    // that moved to another site in between refuses them.
    const QString observed = observedUrl_.startsWith(QLatin1String("http"), Qt::CaseInsensitive)
                                 ? observedUrl_
                                 : QString();
    return std::make_unique<ChromiumWrite>(core_, page_, edits, observed);
}

}  // namespace

// ---- connection and discovery ----

bool ChromiumBrowser::Core::ensureConnected() {
    DevToolsConnection& conn = tracker.connection();
    if (conn.isOpen())
        return true;
    if (SteadyClock::now() < retryAfter)
        return false;
    std::optional<QUrl> endpoint;
    if (!options.port) {
        endpoint = readDevToolsActivePort(options.profileFolder);
        if (!endpoint)
            return false;
    }
    // The file outlives its browser: nobody may listen there any more (the common "no
    // browser"), or another user, who would then receive the values we write.
    const quint16 port = options.port ? *options.port : static_cast<quint16>(endpoint->port());
    if (loopbackPortOwner(port) != PortOwner::Us)
        return false;
    if (options.port)
        endpoint = queryBrowserEndpoint(port, static_cast<int>(kConnectTimeout.count()));
    if (!endpoint)
        return false;
    tracker.forgetAll();
    const auto started = SteadyClock::now();
    if (!conn.open(*endpoint, kConnectTimeout)) {
        if (SteadyClock::now() - started >= kConnectTimeout / 2)
            retryAfter = SteadyClock::now() + kRetryAfterHang;
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
        // The events of the pages already open may still be on their way: the list, once,
        // makes the first answer hold every page.
        {QStringLiteral("Target.getTargets"), QJsonObject{}},
    };
    // The browser runs them in order: sent together, they cost one round trip.
    std::vector<std::shared_ptr<PendingCall>> sent;
    for (const auto& [method, params] : setup)
        sent.push_back(conn.start(method, params, QString()));
    CdpReply reply;
    for (size_t i = 0; i < sent.size(); ++i) {
        reply = sent[i]->wait(options.callTimeout);
        if (reply.status == CdpReply::Status::Error)
            throw disconnected(
                QStringLiteral("The browser refused %1: %2").arg(setup[i].first, reply.message));
        if (!reply.ok())
            return false;
    }
    // They answer their state within milliseconds; a page that holds its commands (a navigation
    // waiting for its first byte) simply stays busy.
    tracker.addOpenPages(reply.result.value(QLatin1String("targetInfos")).toArray(),
                         kFirstSightWait);
    return true;
}

// ---- calls ----

CdpReply ChromiumBrowser::Core::pageCall(const std::shared_ptr<TrackedPage>& page,
                                         const QString& method, const QJsonObject& params) {
    const QString session = tracker.sessionOf(*page);
    return answered(tracker.connection().call(method, params, session, options.callTimeout,
                                              stallCounter(page)));
}

std::shared_ptr<PendingCall> ChromiumBrowser::Core::startPageCall(
    const std::shared_ptr<TrackedPage>& page, const QString& method, const QByteArray& params) {
    return tracker.connection().startEncoded(method, params, tracker.sessionOf(*page),
                                             stallCounter(page));
}

CdpReply ChromiumBrowser::Core::answerOf(PendingCall& call) {
    return answered(call.wait(options.callTimeout));
}

const QByteArray& ChromiumBrowser::Core::encodedEdits(const QList<FieldEdit>& edits) {
    if (edits.isEmpty() || edits.constData() != lastEdits.constData() ||
        edits.size() != lastEdits.size()) {
        lastEdits = edits;
        lastEditsJson =
            QJsonDocument(pagescripts::encodeEdits(edits)).toJson(QJsonDocument::Compact);
    }
    return lastEditsJson;
}

QByteArray ChromiumBrowser::Core::writeArguments(const QList<FieldEdit>& edits,
                                                 const QString& observedUrl) {
    return "[{\"value\":" + encodedEdits(edits) + "},{\"value\":" + jsonString(observedUrl) + "}]";
}

// One Runtime.callFunctionOn: on the write function kept in the page's world when there is one
// (the call then carries only the edits), else with the whole function, after which the world
// gets one.
ChromiumBrowser::Core::SentWrite ChromiumBrowser::Core::sendWrite(
    const std::shared_ptr<TrackedPage>& page, const QByteArray& arguments) {
    SentWrite sent;
    sent.world = tracker.world(page, options.callTimeout);
    const QString writer = tracker.writerOf(*page, sent.world);
    sent.calledKeptFunction = !writer.isEmpty();
    const QByteArray target =
        sent.calledKeptFunction
            ? "\"functionDeclaration\":" + callWriter + ",\"objectId\":" + jsonString(writer)
            : "\"functionDeclaration\":" + writeFunction +
                  ",\"uniqueContextId\":" + jsonString(sent.world);
    const QByteArray params =
        '{' + target + ",\"arguments\":" + arguments + ",\"returnByValue\":true,\"silent\":true}";
    sent.call = startPageCall(page, QStringLiteral("Runtime.callFunctionOn"), params);
    return sent;
}

WriteResult ChromiumBrowser::Core::takeWrite(const std::shared_ptr<TrackedPage>& page,
                                             const QByteArray& arguments, SentWrite sent) {
    for (int attempt = 0;; ++attempt) {
        const CdpReply reply = answerOf(*sent.call);
        if (reply.status == CdpReply::Status::Error) {
            if (attempt == 0 && isStaleContext(reply.message)) {
                // The document changed under the world: make a new one and go again.
                tracker.forgetWorld(*page, sent.world);
                sent = sendWrite(page, arguments);
                continue;
            }
            throw disconnected(
                QStringLiteral("The browser refused the call: %1").arg(reply.message));
        }
        if (!sent.calledKeptFunction)
            tracker.requestWriter(page, sent.world);
        return pagescripts::decodeWriteResult(scriptValue(reply));
    }
}

QJsonObject ChromiumBrowser::Core::evaluateInWorld(const std::shared_ptr<TrackedPage>& page,
                                                   const QString& method, QJsonObject params) {
    params.insert(QStringLiteral("returnByValue"), true);
    params.insert(QStringLiteral("silent"), true);
    for (int attempt = 0;; ++attempt) {
        const QString world = tracker.world(page, options.callTimeout);
        params.insert(QStringLiteral("uniqueContextId"), world);
        const CdpReply reply = pageCall(page, method, params);
        if (reply.status == CdpReply::Status::Error) {
            if (attempt == 0 && isStaleContext(reply.message)) {
                // The document changed under the world: make a new one and go again.
                tracker.forgetWorld(*page, world);
                continue;
            }
            throw disconnected(
                QStringLiteral("The browser refused the call: %1").arg(reply.message));
        }
        return scriptValue(reply);
    }
}

void ChromiumBrowser::Core::browserCall(const QString& method, const QJsonObject& params) {
    const CdpReply reply =
        tracker.connection().call(method, params, QString(), options.callTimeout);
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
    for (const auto& page : core_->tracker.pages())
        result.append(std::make_shared<ChromiumWindow>(core_, page));
    return result;
}

bool ChromiumBrowser::Core::awaitStarted(qint64 pid, const PortFileStamp& before) {
    const auto deadline = SteadyClock::now() + options.launch.startTimeout;
    for (;;) {
        retryAfter = {};
        if (devToolsActivePortStamp(options.profileFolder) != before && ensureConnected())
            return true;
        // A Chromium that hands over to one already running on the profile ends at once.
        if (!processRunning(pid) || SteadyClock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
}

void ChromiumBrowser::Core::openAddress(const QString& url, bool replaceStartPage) {
    QStringList startPages;
    if (replaceStartPage) {
        for (const auto& page : tracker.pages()) {
            const QString shown = tracker.url(*page);
            if (shown.isEmpty() || shown == QLatin1String("about:blank") ||
                shown.startsWith(QLatin1String("chrome://newtab")) ||
                shown.startsWith(QLatin1String("chrome://new-tab-page")))
                startPages << page->targetId;
        }
    }
    browserCall(QStringLiteral("Target.createTarget"),
                QJsonObject{{QStringLiteral("url"), openableAddress(url)}});
    for (const QString& target : startPages) {
        try {
            browserCall(QStringLiteral("Target.closeTarget"),
                        QJsonObject{{QStringLiteral("targetId"), target}});
        } catch (const SiranoError&) {
            // closed meanwhile; the address is open all the same
        }
    }
}

// The address is never put on the command line: Debian's chromium wrapper drops "--", and an
// address that reads as a switch (--renderer-cmd-prefix=...) would run a program.
void ChromiumBrowser::openInNewBrowser(const QString& url) {
    // A browser that runs without any page is used as it is.
    if (core_->ensureConnected())
        return core_->openAddress(url, false);
    const PortFileStamp before = devToolsActivePortStamp(core_->options.profileFolder);
    lastStartedPid_ = startChromium(core_->options.launch, core_->options.profileFolder,
                                    core_->options.port.value_or(0));
    if (!core_->awaitStarted(lastStartedPid_, before)) {
        throw SiranoError(err::kCannotCreateObject,
                          QStringLiteral("The browser started (process %1) opened no debugging "
                                         "port of ours in time.")
                              .arg(lastStartedPid_));
    }
    core_->openAddress(url, true);
}

ChromiumBrowser::Traffic ChromiumBrowser::traffic() const {
    return Traffic{core_->tracker.connection().commandsSent(),
                   core_->tracker.connection().callsWaited()};
}

bool ChromiumBrowser::connected() const {
    return core_->tracker.connection().isOpen();
}

std::unique_ptr<Browser> createChromiumBrowser(const QString& profileFolder,
                                               std::optional<quint16> port) {
    ChromiumBrowser::Options options;
    options.profileFolder = profileFolder;
    options.port = port;
    return std::make_unique<ChromiumBrowser>(std::move(options));
}

}  // namespace sirano
