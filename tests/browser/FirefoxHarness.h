// A real headless Firefox ESR for the extension tests, started here with a profile of its own and
// stopped by process id, driven as a user would (open, close, navigate tabs, run page script)
// over WebDriver BiDi, which also installs the extension under test for the browser's life.
#pragma once

#include "ChromiumHarness.h"
#include "PageServer.h"
#include "browser/devtools/DevToolsConnection.h"

#include <QJsonValue>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>

namespace sirano::test {

class FirefoxHarness {
public:
    static constexpr const char* kFirefox = "/usr/lib/firefox-esr/firefox-esr";

    // headless false: on the display of $DISPLAY, as a user's browser.
    explicit FirefoxHarness(bool headless = true);
    ~FirefoxHarness();

    // Page server, then browser. False (with the reason) when either does not come up.
    bool start(QString* why);
    // Installs the unpacked extension in folder until the browser ends.
    bool installExtension(const QString& folder, QString* why);
    // Ends the BiDi session: the browser goes on as a user's would, no longer driven.
    void endSession();
    // Drives it again with a session of its own.
    bool newSession(QString* why);
    qint64 browserPid() const { return browser_ ? browser_->processId() : 0; }
    QString url(const QString& path, const QString& host = QStringLiteral("127.0.0.1")) const {
        return server_.url(path, host);
    }

    QString openTab(const QString& url);  // the new tab's browsing context
    QString findTab(const QString& url);  // a context showing url, or empty
    void closeTab(const QString& context);
    void navigate(const QString& context, const QString& url);
    QJsonValue evaluate(const QString& context, const QString& expression);
    bool loaded(const QString& context);
    // Before each test: one blank tab left.
    bool prepareTest(QString* why);

    static bool waitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
        return ChromiumHarness::waitFor(condition, timeoutMs);
    }

private:
    QJsonObject command(const QString& method, const QJsonObject& params);
    QStringList topContexts(QStringList* urls = nullptr);

    const bool headless_;
    QString address_;  // of the BiDi endpoint
    PageServer server_;
    QTemporaryDir profile_;
    std::unique_ptr<QProcess> browser_;
    std::unique_ptr<DevToolsConnection> control_;  // BiDi frames its commands the same way
};

}  // namespace sirano::test
