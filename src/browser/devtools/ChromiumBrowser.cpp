#include "ChromiumBrowser.h"

#include "BrowserEndpoint.h"
#include "ChromiumCore.h"
#include "ChromiumWindow.h"
#include "PortOwnership.h"
#include "browser/Matching.h"
#include "store/SecretBytes.h"

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
// After a connection attempt that hung (the port now belongs to something else), or a
// connection ended for breaking a bound or not setting up in time, the tick must not spend its
// time on it every second: the wait doubles with each such end in a row, up to a limit.
constexpr auto kFirstBackOff = 5s;
constexpr auto kLongestBackOff = 5min;

SiranoError notStarted(qint64 pid) {
    return SiranoError(err::kCannotCreateObject,
                       QStringLiteral("The browser started (process %1) opened no debugging "
                                      "port of ours in time.")
                           .arg(pid));
}

}  // namespace

SiranoError disconnected(const QString& why) {
    return SiranoError(err::kObjectDisconnected, why);
}

QByteArray jsonString(const QString& text) {
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// ---- connection and discovery ----

void ChromiumBrowser::Core::backOff() {
    retryAfter = SteadyClock::now() + nextBackOff;
    nextBackOff = std::min<std::chrono::milliseconds>(nextBackOff * 2, kLongestBackOff);
}

bool ChromiumBrowser::Core::ensureConnected() {
    DevToolsConnection& conn = tracker.connection();
    if (conn.isOpen())
        return true;
    if (conn.takeFault())
        backOff();
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
    if (options.afterListenerCheck)
        options.afterListenerCheck();
    if (options.port)
        endpoint = queryBrowserEndpoint(port, static_cast<int>(kConnectTimeout.count()));
    if (!endpoint)
        return false;
    tracker.forgetAll();
    const auto started = SteadyClock::now();
    if (!conn.open(*endpoint, kConnectTimeout)) {
        if (conn.takeFault() || SteadyClock::now() - started >= kConnectTimeout / 2)
            backOff();
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
        if (reply.ok())
            continue;
        // A connection that does not set up is of no use, and a peer that never answers would
        // have its events and our calls pile up on it: it ends, and is tried again later.
        conn.breakOff(QStringLiteral("the browser did not set up the connection"));
        conn.takeFault();
        backOff();
        if (reply.status == CdpReply::Status::Error)
            throw disconnected(
                QStringLiteral("The browser refused %1: %2").arg(setup[i].first, reply.message));
        return false;
    }
    nextBackOff = kFirstBackOff;
    // They answer their state within milliseconds; a page that holds its commands (a navigation
    // waiting for its first byte) simply stays busy.
    if (!tracker.addOpenPages(reply.result.value(QLatin1String("targetInfos")).toArray(),
                              kFirstSightWait)) {
        conn.takeFault();
        backOff();
        return false;
    }
    return true;
}

// ---- calls ----

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
    : core_(std::make_shared<Core>(std::move(options))), answers_(std::make_unique<QObject>()) {}

ChromiumBrowser::~ChromiumBrowser() {
    starters_.clear();  // asks each to stop, and joins it
}

bool ChromiumBrowser::Core::connectedNow() {
    if (!options.inBackground)
        return ensureConnected();
    if (connecting.load())
        return false;
    if (tracker.connection().isOpen())
        return true;
    // Nothing to connect to: no thread for that, every tick.
    if (!options.port && !readDevToolsActivePort(options.profileFolder))
        return false;
    connecting = true;
    connector = std::jthread([this] {
        try {
            ensureConnected();
        } catch (const SiranoError&) {
            // refused: tried again at a later tick, as when it fails on the caller's thread
        }
        connecting = false;
    });
    return false;
}

QList<std::shared_ptr<BrowserWindow>> ChromiumBrowser::windows() {
    QList<std::shared_ptr<BrowserWindow>> result;
    if (!core_->connectedNow())
        return result;
    for (const auto& page : core_->tracker.pages())
        result.append(makeChromiumWindow(core_, page));
    return result;
}

bool ChromiumBrowser::Core::awaitStarted(qint64 pid, const PortFileStamp& before,
                                         std::stop_token stop) {
    const auto deadline = SteadyClock::now() + options.launch.startTimeout;
    for (;;) {
        retryAfter = {};
        if (devToolsActivePortStamp(options.profileFolder) != before && ensureConnected())
            return true;
        // A Chromium that hands over to one already running on the profile ends at once.
        if (!processRunning(pid) || SteadyClock::now() >= deadline || stop.stop_requested())
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
void ChromiumBrowser::Core::openOrStart(const QString& url, std::atomic<qint64>& startedPid,
                                        std::stop_token stop) {
    // A browser that runs without any page is used as it is.
    if (ensureConnected())
        return openAddress(url, false);
    const PortFileStamp before = devToolsActivePortStamp(options.profileFolder);
    const qint64 pid =
        startChromium(options.launch, options.profileFolder, options.port.value_or(0));
    startedPid = pid;
    if (!awaitStarted(pid, before, stop))
        throw notStarted(pid);
    // A fresh browser may tell of its start tab only after the port is open; the address then
    // replaces it instead of opening beside it.
    tracker.awaitAnyPage(options.callTimeout);
    openAddress(url, true);
}

void ChromiumBrowser::openInNewBrowser(const QString& url) {
    core_->openOrStart(url, lastStartedPid_);
}

void ChromiumBrowser::startNewBrowser(const QString& url, StartDone done) {
    if (!core_->options.inBackground)
        return Browser::startNewBrowser(url, std::move(done));
    std::erase_if(starters_, [](const Starter& s) { return s.finished->load(); });
    auto finished = std::make_shared<std::atomic<bool>>(false);
    // The thread is joined before this object's members go (see the destructor).
    std::jthread thread([options = core_->options, url, done = std::move(done),
                         answers = answers_.get(), startedPid = &lastStartedPid_,
                         finished](std::stop_token stop) {
        std::optional<SiranoError> failure;
        try {
            // A connection of its own: the caller's goes on serving the tick.
            Core(options).openOrStart(url, *startedPid, stop);
        } catch (const SiranoError& e) {
            failure = e;
        }
        if (!stop.stop_requested())
            QMetaObject::invokeMethod(
                answers, [done, failure] { done(failure); }, Qt::QueuedConnection);
        *finished = true;
    });
    starters_.push_back({std::move(finished), std::move(thread)});
}

// The encoded edits are kept to send the same list to several windows; the list itself shares
// its values with the caller's.
void ChromiumBrowser::forgetWrites() {
    core_->lastEdits.clear();
    wipe(core_->lastEditsJson);
}

bool ChromiumBrowser::answers() {
    return core_->ensureConnected();
}

ChromiumBrowser::Traffic ChromiumBrowser::traffic() const {
    return Traffic{core_->tracker.connection().commandsSent(),
                   core_->tracker.connection().callsWaited()};
}

std::unique_ptr<Browser> createChromiumBrowser(const QString& profileFolder,
                                               std::optional<quint16> port, bool inBackground) {
    ChromiumBrowser::Options options;
    options.profileFolder = profileFolder;
    options.port = port;
    options.inBackground = inBackground;
    return std::make_unique<ChromiumBrowser>(std::move(options));
}

}  // namespace sirano
