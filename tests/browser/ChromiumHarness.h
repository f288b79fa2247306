// A real headless Chromium and a loopback page server for the browser tests, both started here
// and stopped by process id. The harness drives the browser as a user would (open, close,
// activate, navigate tabs, run page script) over a DevTools connection of its own.
#pragma once

#include "PageServer.h"
#include "browser/devtools/DevToolsConnection.h"

#include <QHash>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <thread>

namespace sirano::test {

class ChromiumHarness {
public:
    static constexpr const char* kChromium = "/usr/lib/chromium/chromium";

    ChromiumHarness();
    ~ChromiumHarness();

    // Page server, then browser. False (with the reason) when either does not come up.
    bool start(QString* why);
    bool startBrowser(QString* why);
    void killBrowser();

    // Switches that make a Chromium fit for a machine without display or network.
    static QStringList headlessSwitches();
    // Given to the browser after those, from its next start on.
    void addSwitches(const QStringList& switches) { extraSwitches_ += switches; }

    QString profileFolder() const { return profile_->path(); }
    qint64 browserPid() const { return browser_ ? browser_->processId() : 0; }
    QString url(const QString& path, const QString& host = QStringLiteral("127.0.0.1")) const {
        return server_.url(path, host);
    }

    QString openTab(const QString& url);  // the new tab's target id
    // The benchmarks' pages: n tabs of fifty.html (?tab=00, 01, ...), each loaded, and no blank
    // tab beside them. False when one did not load in time.
    bool openFiftyInputTabs(int n);
    // start(), then openFiftyInputTabs(n): the benchmarks' browser.
    bool startWithFiftyInputTabs(int n, QString* why);
    QString findTab(const QString& url);  // the target id of a tab showing url, or empty
    void closeTab(const QString& targetId);
    void activateTab(const QString& targetId);
    void navigate(const QString& targetId, const QString& url);
    // Runs in the page's own (main) world; answers the value.
    QJsonValue evaluate(const QString& targetId, const QString& expression);
    // The first three elements of the page's first form, "value|value|true" (a check box as
    // true or false): what the desktop tests' log-in page shows.
    QString firstFormValues(const QString& targetId) {
        return evaluate(targetId, QStringLiteral("[...document.forms[0].elements].slice(0, 3)"
                                                 ".map(e => e.type == 'checkbox' ? e.checked : "
                                                 "e.value).join('|')"))
            .toString();
    }
    // Answers the JavaScript dialog the tab shows, as the user would.
    void answerDialog(const QString& targetId);
    // Whether the tab shows its own document (not the blank one it starts with) fully loaded.
    bool loaded(const QString& targetId);
    // Closes every tab but a blank one, and waits until that one has loaded: its load would
    // otherwise end in the middle of the next test.
    void resetTabs();
    // Before each test: a browser again if the last test killed it, and no tabs left from it.
    bool prepareTest(QString* why);

    // Removes a profile folder a browser used until lately.
    static void removeProfile(QTemporaryDir& profile);
    // Polls condition every 20 ms until it holds or timeoutMs pass.
    static bool waitFor(const std::function<bool()>& condition, int timeoutMs = 5000);
    // Waits until count() has not moved for quietMs (a connection's commands: what it does by
    // itself on first sight of each page has been answered), or timeoutMs pass.
    static bool waitQuiet(const std::function<quint64()>& count, int quietMs = 300,
                          int timeoutMs = 5000);
    // Waits until no process runs on the profile any more (the browser's helpers outlive it
    // briefly and still write there).
    static bool waitProfileReleased(const QString& profile, int timeoutMs = 5000);

private:
    QJsonObject command(const QString& method, const QJsonObject& params,
                        const QString& session = QString());
    QString sessionFor(const QString& targetId);

    PageServer server_;
    QStringList extraSwitches_;
    std::unique_ptr<QTemporaryDir> profile_;
    std::unique_ptr<QProcess> browser_;
    std::unique_ptr<DevToolsConnection> control_;
    QHash<QString, QString> sessions_;
};

// A stand-in for `chromium` first on PATH while it lives: records its arguments, one a line, then
// runs the shell command given ("exit 0", or exec the real browser with "$@").
class RecordingStandIn {
public:
    explicit RecordingStandIn(const QString& then);
    ~RecordingStandIn();
    RecordingStandIn(const RecordingStandIn&) = delete;
    RecordingStandIn& operator=(const RecordingStandIn&) = delete;

    QStringList argv() const;

private:
    QString argvFile() const;

    QTemporaryDir dir_;
    QByteArray oldPath_;
};

// Runs an action on another thread after a delay, while the test thread is blocked in a call;
// joins at the end of its scope.
class RunLater {
public:
    RunLater(int delayMs, std::function<void()> action)
        : thread_([delayMs, action = std::move(action)] {
              std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
              action();
          }) {}
    ~RunLater() { thread_.join(); }

private:
    std::thread thread_;
};

}  // namespace sirano::test
