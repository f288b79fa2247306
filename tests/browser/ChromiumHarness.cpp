#include "ChromiumHarness.h"

#include "browser/devtools/BrowserEndpoint.h"
#include "browser/devtools/ChromiumLauncher.h"
#include "browser/devtools/PortOwnership.h"

#include <sys/prctl.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QThread>
#include <csignal>
#include <stdexcept>

namespace sirano::test {

using namespace std::chrono_literals;

ChromiumHarness::ChromiumHarness() : profile_(std::make_unique<QTemporaryDir>()) {}

ChromiumHarness::~ChromiumHarness() {
    control_.reset();
    killBrowser();
    removeProfile(*profile_);
}

void ChromiumHarness::removeProfile(QTemporaryDir& profile) {
    // A killed browser's last writes may still land while the folder goes.
    waitFor([&] { return QDir(profile.path()).removeRecursively(); }, 3000);
}

QStringList ChromiumHarness::headlessSwitches() {
    return {QStringLiteral("--headless"),
            QStringLiteral("--no-sandbox"),
            QStringLiteral("--disable-gpu"),
            QStringLiteral("--disable-quic"),
            QStringLiteral("--disable-background-networking"),
            QStringLiteral("--disable-component-update"),
            QStringLiteral("--disable-sync")};
}

bool ChromiumHarness::start(QString* why) {
    return server_.start(why) && startBrowser(why);
}

bool ChromiumHarness::startBrowser(QString* why) {
    control_.reset();
    sessions_.clear();
    killBrowser();
    if (!QFile::exists(QString::fromLatin1(kChromium))) {
        *why = QStringLiteral("%1 is not installed").arg(QString::fromLatin1(kChromium));
        return false;
    }
    QFile::remove(QDir(profileFolder()).filePath(QStringLiteral("DevToolsActivePort")));
    browser_ = std::make_unique<QProcess>();
    browser_->setProgram(QString::fromLatin1(kChromium));
    browser_->setArguments(headlessSwitches() + extraSwitches_ +
                           QStringList{QStringLiteral("--no-first-run"),
                                       QStringLiteral("--user-data-dir=") + profileFolder(),
                                       QStringLiteral("--remote-debugging-port=0"),
                                       QStringLiteral("about:blank")});
    browser_->setStandardOutputFile(QProcess::nullDevice());
    browser_->setStandardErrorFile(QProcess::nullDevice());
    dieWithTheTest(*browser_);
    browser_->start();
    if (!browser_->waitForStarted(5000)) {
        *why = QStringLiteral("Chromium did not start");
        return false;
    }
    std::optional<QUrl> endpoint;
    waitFor([&] { return (endpoint = readDevToolsActivePort(profileFolder())).has_value(); },
            15000);
    if (!endpoint) {
        *why = QStringLiteral("Chromium wrote no DevToolsActivePort");
        return false;
    }
    control_ = std::make_unique<DevToolsConnection>(
        [](const QString&, const QJsonObject&, const QString&) {}, [] {});
    if (!control_->open(*endpoint, 5s)) {
        *why = QStringLiteral("cannot connect to Chromium at %1").arg(endpoint->toString());
        return false;
    }
    return true;
}

void ChromiumHarness::killBrowser() {
    if (!browser_)
        return;
    control_.reset();
    sessions_.clear();
    if (browser_->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(browser_->processId()), SIGKILL);
        browser_->waitForFinished(5000);
    }
    browser_.reset();
    waitProfileReleased(profileFolder());
}

QJsonObject ChromiumHarness::command(const QString& method, const QJsonObject& params,
                                     const QString& session) {
    if (!control_)
        throw std::runtime_error("no browser");
    const CdpReply reply = control_->call(method, params, session, 10s);
    if (!reply.ok()) {
        throw std::runtime_error(
            QStringLiteral("%1 failed: %2").arg(method, reply.message).toStdString());
    }
    return reply.result;
}

QString ChromiumHarness::sessionFor(const QString& targetId) {
    if (!sessions_.contains(targetId)) {
        const QJsonObject result =
            command(QStringLiteral("Target.attachToTarget"),
                    {{QStringLiteral("targetId"), targetId}, {QStringLiteral("flatten"), true}});
        const QString session = result.value(QLatin1String("sessionId")).toString();
        command(QStringLiteral("Page.enable"), {}, session);  // lets it answer dialogs
        sessions_.insert(targetId, session);
    }
    return sessions_.value(targetId);
}

QString ChromiumHarness::openTab(const QString& url) {
    return command(QStringLiteral("Target.createTarget"), {{QStringLiteral("url"), url}})
        .value(QLatin1String("targetId"))
        .toString();
}

bool ChromiumHarness::openFiftyInputTabs(int n) {
    QStringList tabs;
    for (int i = 0; i < n; ++i)
        tabs << openTab(url(QStringLiteral("fifty.html?tab=%1").arg(i, 2, 10, QLatin1Char('0'))));
    for (const QString& tab : tabs) {
        if (!waitFor([&] { return loaded(tab); }, 20000))
            return false;
    }
    closeTab(findTab(QStringLiteral("about:blank")));
    return true;
}

bool ChromiumHarness::startWithFiftyInputTabs(int n, QString* why) {
    if (!start(why))
        return false;
    if (openFiftyInputTabs(n))
        return true;
    *why = QStringLiteral("a tab did not load");
    return false;
}

QString ChromiumHarness::findTab(const QString& url) {
    const QJsonArray targets = command(QStringLiteral("Target.getTargets"), {})
                                   .value(QLatin1String("targetInfos"))
                                   .toArray();
    for (const QJsonValue& t : targets) {
        const QJsonObject info = t.toObject();
        if (info.value(QLatin1String("type")).toString() == QLatin1String("page") &&
            info.value(QLatin1String("url")).toString() == url)
            return info.value(QLatin1String("targetId")).toString();
    }
    return {};
}

void ChromiumHarness::closeTab(const QString& targetId) {
    sessions_.remove(targetId);
    command(QStringLiteral("Target.closeTarget"), {{QStringLiteral("targetId"), targetId}});
}

void ChromiumHarness::activateTab(const QString& targetId) {
    command(QStringLiteral("Target.activateTarget"), {{QStringLiteral("targetId"), targetId}});
}

void ChromiumHarness::navigate(const QString& targetId, const QString& url) {
    command(QStringLiteral("Page.navigate"), {{QStringLiteral("url"), url}}, sessionFor(targetId));
}

QJsonValue ChromiumHarness::evaluate(const QString& targetId, const QString& expression) {
    const QJsonObject result = command(QStringLiteral("Runtime.evaluate"),
                                       {{QStringLiteral("expression"), expression},
                                        {QStringLiteral("returnByValue"), true},
                                        {QStringLiteral("awaitPromise"), true}},
                                       sessionFor(targetId));
    return result.value(QLatin1String("result")).toObject().value(QLatin1String("value"));
}

void ChromiumHarness::answerDialog(const QString& targetId) {
    command(QStringLiteral("Page.handleJavaScriptDialog"), {{QStringLiteral("accept"), true}},
            sessionFor(targetId));
}

bool ChromiumHarness::loaded(const QString& targetId) {
    return evaluate(targetId, QStringLiteral("document.readyState === 'complete' && "
                                             "document.URL !== 'about:blank'"))
        .toBool();
}

bool ChromiumHarness::prepareTest(QString* why) {
    if (browserPid() == 0 && !startBrowser(why))
        return false;
    resetTabs();
    return true;
}

void ChromiumHarness::resetTabs() {
    const QString keep = openTab(QStringLiteral("about:blank"));
    // Until no other page is listed: a closed tab goes a moment after its answer, and the first
    // tab of a browser just started may be listed only a moment after its port.
    waitFor([&] {
        const QJsonArray targets = command(QStringLiteral("Target.getTargets"), {})
                                       .value(QLatin1String("targetInfos"))
                                       .toArray();
        bool alone = true;
        for (const QJsonValue& t : targets) {
            const QJsonObject info = t.toObject();
            const QString id = info.value(QLatin1String("targetId")).toString();
            if (info.value(QLatin1String("type")).toString() != QLatin1String("page") || id == keep)
                continue;
            alone = false;
            try {
                closeTab(id);
            } catch (const std::runtime_error&) {
                // closing already
            }
        }
        return alone;
    });
    // Answered by the committed document: a navigation still pending holds the command.
    waitFor([&] {
        return evaluate(keep, QStringLiteral("document.readyState")).toString() ==
               QLatin1String("complete");
    });
    sessions_.clear();
}

bool ChromiumHarness::waitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (condition())
            return true;
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
}

bool ChromiumHarness::waitQuiet(const std::function<quint64()>& count, int quietMs, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer quiet;
    quiet.start();
    quint64 last = count();
    while (quiet.elapsed() < quietMs) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
        if (const quint64 now = count(); now != last) {
            last = now;
            quiet.restart();
        }
    }
    return true;
}

bool ChromiumHarness::waitProfileReleased(const QString& profile, int timeoutMs) {
    const QByteArray needle = "--user-data-dir=" + profile.toUtf8() + '\0';
    return waitFor(
        [&] {
            const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
            for (const QString& pid : pids) {
                QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
                if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(needle))
                    return false;
            }
            return true;
        },
        timeoutMs);
}

RecordingStandIn::RecordingStandIn(const QString& then) {
    QFile script(QDir(dir_.path()).filePath(QStringLiteral("chromium")));
    if (!script.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write the stand-in");
    script.write("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" +
                 argvFile().toUtf8() + "'\n" + then.toUtf8() + "\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    oldPath_ = qgetenv("PATH");
    qputenv("PATH", dir_.path().toUtf8() + ':' + oldPath_);
}

RecordingStandIn::~RecordingStandIn() {
    qputenv("PATH", oldPath_);
}

QString RecordingStandIn::argvFile() const {
    return QDir(dir_.path()).filePath(QStringLiteral("argv"));
}

QStringList RecordingStandIn::argv() const {
    QFile file(argvFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

}  // namespace sirano::test
