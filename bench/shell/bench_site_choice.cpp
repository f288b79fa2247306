// A site chosen from the tray's site menu while no browser runs: how long the tray's event loop
// is away at most (a click on the icon waits that long) until the started browser shows the
// page and the tick has filled it. Beside it, in the same run, the start that waits for the
// browser on the calling thread (sirano-cli's way, and the tray's before): its whole duration
// is the stall. Real headless Chromium on a fresh profile each time.
//
//   shell_site_choice_bench [--runs N]   (default 5)
#include "bench/shell/TrayBenchKit.h"
#include "browser/ChromiumHarness.h"
#include "browser/devtools/ChromiumBrowser.h"
#include "shell/TrayApp.h"
#include "support/Entries.h"
#include "support/Files.h"
#include "support/Lent.h"
#include "support/StoreFiles.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

using namespace sirano;
using namespace sirano::test;
using sirano::bench::CountingLog;
using sirano::bench::PrintingMessageBox;

namespace {

// The longest time between two turns of the event loop while it runs.
class StallMeter {
public:
    StallMeter() {
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout,
                         [this] { longest_ = std::max(longest_, since_.restart()); });
    }
    void start() {
        longest_ = 0;
        since_.start();
        timer_.start();
    }
    // Counts the gap up to now too (a stall that has just ended).
    qint64 stop() {
        longest_ = std::max(longest_, since_.elapsed());
        timer_.stop();
        return longest_;
    }

private:
    QTimer timer_;
    QElapsedTimer since_;
    qint64 longest_ = 0;
};

ChromiumBrowser::Options optionsFor(const QString& profile) {
    ChromiumBrowser::Options options;
    options.profileFolder = profile;
    options.launch.programs = {QString::fromLatin1(ChromiumHarness::kChromium)};
    options.launch.extraArgs = ChromiumHarness::headlessSwitches();
    options.launch.startTimeout = std::chrono::seconds(30);
    options.inBackground = true;  // as the tray makes it
    return options;
}

void stopBrowser(qint64 pid, const QString& profile) {
    if (pid > 0)
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    ChromiumHarness::waitProfileReleased(profile, 10000);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList args = QApplication::arguments();
    const qsizetype at = args.indexOf(QStringLiteral("--runs"));
    const int runs = at > 0 ? args.value(at + 1).toInt() : 5;

    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("share")).toLocal8Bit());
    const QString page = home.filePath(QStringLiteral("login.html"));
    writeFile(page,
              "<title>Sign in</title><form><input name=user><input type=password "
              "name=pw></form>\n");
    const QString url = QUrl::fromLocalFile(page).toString();

    std::vector<double> trayStall, trayFilled, waitingStall;
    for (int run = 0; run < runs; ++run) {
        // The tray program: the site menu while no browser runs.
        {
            QTemporaryDir folder;
            AppState stored;
            stored.settings.autoLoginAtStart = 1;
            stored.siteTable.append(entry(
                QStringLiteral("Sign in"), url, {},
                {field(0, 0, "text", "user", "alice"), field(0, 1, "password", "pw", "secret")}));
            saveStore(stored, folder.filePath(QStringLiteral("SIRANO.DAT")));
            const QString profile = folder.filePath(QStringLiteral("browser"));

            AppState state;
            PrintingMessageBox messages;
            SystemClock clock;
            CountingLog log;
            ChromiumBrowser* browser = nullptr;
            TrayServices services{
                messages,
                clock,
                [&](const QString&) {
                    auto made = std::make_unique<ChromiumBrowser>(optionsFor(profile));
                    browser = made.get();
                    return made;
                },
                [&](const QString&) { return std::make_unique<LentLog>(log); },
                [] { return TrayHost::XEmbed; },
                {},
                std::chrono::milliseconds(1000),
                {},
            };
            TrayApp tray(state, folder.path(), std::move(services));
            tray.start();
            if (!QTest::qWaitFor([&] { return browser != nullptr && state.loggedIn; }, 10000)) {
                std::fprintf(stderr, "shell_site_choice_bench: the program did not start\n");
                return 1;
            }
            QMenu* menu = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* m = qobject_cast<QMenu*>(w); m && m->objectName() == "siteMenu")
                    menu = m;
            }
            menu->popup(QPoint(0, 0));  // the menu is filled as it opens
            QAction* site = menu->actions().value(0);
            if (!site) {
                std::fprintf(stderr, "shell_site_choice_bench: the site menu is empty\n");
                return 1;
            }
            StallMeter meter;
            QElapsedTimer sinceChoice;
            meter.start();
            sinceChoice.start();
            site->trigger();
            menu->hide();
            const bool filled = QTest::qWaitFor(
                [&] { return !state.siteTable.at(0).filledWindows.empty(); }, 40000);
            trayFilled.push_back(double(sinceChoice.elapsed()));
            trayStall.push_back(double(meter.stop()));
            const qint64 pid = browser->lastStartedPid();
            if (!filled || log.count > 0) {
                std::fprintf(stderr, "shell_site_choice_bench: the page was not filled\n");
                stopBrowser(pid, profile);
                return 1;
            }
            stopBrowser(pid, profile);
        }
        // The start that waits on the calling thread.
        {
            QTemporaryDir folder;
            const QString profile = folder.filePath(QStringLiteral("browser"));
            ChromiumBrowser browser(optionsFor(profile));
            QElapsedTimer call;
            call.start();
            browser.openInNewBrowser(url);
            waitingStall.push_back(double(call.elapsed()));
            stopBrowser(browser.lastStartedPid(), profile);
        }
    }
    double load[3] = {};
    getloadavg(load, 3);
    std::printf(
        "site chosen with no browser running, medians of %d runs (load average %.2f)\n"
        "  tray, browser started without waiting: longest event-loop stall %.0f ms; "
        "page filled after %.0f ms\n"
        "  browser started by a call that waits (the tray's way before):  stall %.0f ms\n",
        runs, load[0], median(trayStall), median(trayFilled), median(waitingStall));
    return 0;
}
