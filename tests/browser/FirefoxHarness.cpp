#include "FirefoxHarness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <csignal>
#include <stdexcept>

namespace sirano::test {

using namespace std::chrono_literals;

namespace {

// Web traffic goes to a dead proxy (loopback pages bypass it); nothing is fetched or reported.
const char kUserPrefs[] = R"(
user_pref("network.proxy.type", 1);
user_pref("network.proxy.http", "127.0.0.1");
user_pref("network.proxy.http_port", 9);
user_pref("network.proxy.ssl", "127.0.0.1");
user_pref("network.proxy.ssl_port", 9);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("browser.aboutwelcome.enabled", false);
)";

}  // namespace

FirefoxHarness::FirefoxHarness(bool headless) : headless_(headless) {}

FirefoxHarness::~FirefoxHarness() {
    control_.reset();
    if (browser_ && browser_->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(browser_->processId()), SIGKILL);
        browser_->waitForFinished(5000);
    }
    waitFor([&] { return QDir(profile_.path()).removeRecursively(); }, 3000);
}

bool FirefoxHarness::start(QString* why) {
    if (!server_.start(why))
        return false;
    if (!QFile::exists(QString::fromLatin1(kFirefox))) {
        *why = QStringLiteral("%1 is not installed").arg(QString::fromLatin1(kFirefox));
        return false;
    }
    QFile prefs(QDir(profile_.path()).filePath(QStringLiteral("user.js")));
    if (!prefs.open(QIODevice::WriteOnly) || prefs.write(kUserPrefs) < 0) {
        *why = QStringLiteral("cannot write the profile's preferences");
        return false;
    }
    prefs.close();
    browser_ = std::make_unique<QProcess>();
    browser_->setProgram(QString::fromLatin1(kFirefox));
    QStringList arguments{QStringLiteral("--no-remote"), QStringLiteral("--profile"),
                          profile_.path(), QStringLiteral("--remote-debugging-port=0"),
                          QStringLiteral("about:blank")};
    if (headless_)
        arguments.prepend(QStringLiteral("--headless"));
    browser_->setArguments(arguments);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MOZ_CRASHREPORTER_DISABLE"), QStringLiteral("1"));
    browser_->setProcessEnvironment(env);
    browser_->setProcessChannelMode(QProcess::MergedChannels);
    dieWithTheTest(*browser_);
    browser_->start();
    if (!browser_->waitForStarted(5000)) {
        *why = QStringLiteral("Firefox did not start");
        return false;
    }
    // "WebDriver BiDi listening on ws://127.0.0.1:PORT"
    static const QRegularExpression listening(QStringLiteral("BiDi listening on (ws://\\S+)"));
    QByteArray output;
    QElapsedTimer clock;
    clock.start();
    while (address_.isEmpty() && clock.elapsed() < 30000 &&
           browser_->state() == QProcess::Running) {
        browser_->waitForReadyRead(200);
        output += browser_->readAll();
        address_ = listening.match(QString::fromUtf8(output)).captured(1);
    }
    if (address_.isEmpty()) {
        *why = QStringLiteral("Firefox opened no WebDriver BiDi port: %1")
                   .arg(QString::fromUtf8(output.right(2000)));
        return false;
    }
    return newSession(why);
}

bool FirefoxHarness::newSession(QString* why) {
    control_ = std::make_unique<DevToolsConnection>(
        [](const QString&, const QJsonObject&, const QString&) {}, [] {});
    if (!control_->open(QUrl(address_ + QStringLiteral("/session")), 10s)) {
        *why = QStringLiteral("cannot connect to Firefox at %1").arg(address_);
        return false;
    }
    try {
        command(QStringLiteral("session.new"), {{QStringLiteral("capabilities"), QJsonObject()}});
    } catch (const std::runtime_error& e) {
        *why = QString::fromUtf8(e.what());
        return false;
    }
    return true;
}

bool FirefoxHarness::installExtension(const QString& folder, QString* why) {
    try {
        command(QStringLiteral("webExtension.install"),
                {{QStringLiteral("extensionData"),
                  QJsonObject{{QStringLiteral("type"), QStringLiteral("path")},
                              {QStringLiteral("path"), folder}}}});
        return true;
    } catch (const std::runtime_error& e) {
        *why = QString::fromUtf8(e.what());
        return false;
    }
}

void FirefoxHarness::endSession() {
    command(QStringLiteral("session.end"), {});
    control_.reset();
}

QJsonObject FirefoxHarness::command(const QString& method, const QJsonObject& params) {
    if (!control_)
        throw std::runtime_error("no browser");
    const CdpReply reply = control_->call(method, params, QString(), 10s);
    if (!reply.ok()) {
        throw std::runtime_error(
            QStringLiteral("%1 failed: %2").arg(method, reply.message).toStdString());
    }
    return reply.result;
}

QStringList FirefoxHarness::topContexts(QStringList* urls) {
    QStringList contexts;
    const QJsonArray tree =
        command(QStringLiteral("browsingContext.getTree"), {{QStringLiteral("maxDepth"), 0}})
            .value(QLatin1String("contexts"))
            .toArray();
    for (const QJsonValue& c : tree) {
        contexts << c.toObject().value(QLatin1String("context")).toString();
        if (urls)
            *urls << c.toObject().value(QLatin1String("url")).toString();
    }
    return contexts;
}

QString FirefoxHarness::openTab(const QString& url) {
    const QString context = command(QStringLiteral("browsingContext.create"),
                                    {{QStringLiteral("type"), QStringLiteral("tab")},
                                     {QStringLiteral("background"), true}})
                                .value(QLatin1String("context"))
                                .toString();
    navigate(context, url);
    return context;
}

QString FirefoxHarness::findTab(const QString& url) {
    QStringList urls;
    const QStringList contexts = topContexts(&urls);
    const qsizetype at = urls.indexOf(url);
    return at < 0 ? QString() : contexts.at(at);
}

void FirefoxHarness::closeTab(const QString& context) {
    command(QStringLiteral("browsingContext.close"), {{QStringLiteral("context"), context}});
}

void FirefoxHarness::navigate(const QString& context, const QString& url) {
    command(QStringLiteral("browsingContext.navigate"),
            {{QStringLiteral("context"), context},
             {QStringLiteral("url"), url},
             {QStringLiteral("wait"), QStringLiteral("none")}});
}

QJsonValue FirefoxHarness::evaluate(const QString& context, const QString& expression) {
    const QJsonObject answer =
        command(QStringLiteral("script.evaluate"),
                {{QStringLiteral("expression"), expression},
                 {QStringLiteral("target"), QJsonObject{{QStringLiteral("context"), context}}},
                 {QStringLiteral("awaitPromise"), true}});
    return answer.value(QLatin1String("result")).toObject().value(QLatin1String("value"));
}

bool FirefoxHarness::loaded(const QString& context) {
    return evaluate(context, QStringLiteral("document.readyState === 'complete' && "
                                            "document.URL !== 'about:blank'"))
        .toBool();
}

bool FirefoxHarness::prepareTest(QString* why) {
    try {
        const QString keep = command(QStringLiteral("browsingContext.create"),
                                     {{QStringLiteral("type"), QStringLiteral("tab")}})
                                 .value(QLatin1String("context"))
                                 .toString();
        for (const QString& context : topContexts()) {
            if (context != keep)
                closeTab(context);
        }
        return true;
    } catch (const std::runtime_error& e) {
        *why = QString::fromUtf8(e.what());
        return false;
    }
}

}  // namespace sirano::test
