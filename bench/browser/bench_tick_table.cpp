// The browser half of the one-second tick with a full table (1001 sites) and 20 tabs, nothing
// left to fill: ten tabs show stored sites already filled, ten show other pages. The browser is
// the in-process fake, so that the figure is the tick's own work (the matching of every entry
// against every tab), not the browser's. Prints the median and the 90th percentile of a tick.
//
//   browser_tick_table_bench [--ticks N]   (default 3000)
#include "browser/Automation.h"
#include "browser/FakeBrowser.h"
#include "support/Entries.h"
#include "support/RecordingActions.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace sirano;
using namespace sirano::test;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qsizetype at = args.indexOf(QStringLiteral("--ticks"));
    const int ticks = at > 0 ? args.value(at + 1).toInt() : 3000;

    AppState state;
    state.loggedIn = true;
    for (int i = 0; i < kTableSlots; ++i) {
        // Addresses of every shape the matching knows: absolute, without a scheme, with keyword.
        const QString url = i % 3 == 0   ? QStringLiteral("https://site%1.example/login").arg(i)
                            : i % 3 == 1 ? QStringLiteral("Site%1.Example/account").arg(i)
                                         : QStringLiteral("http://www.site%1.example:8080/").arg(i);
        state.siteTable.append(entry(
            QStringLiteral("Site %1").arg(i), url, i % 5 == 0 ? QStringLiteral("login") : QString(),
            {field(0, 0, "text", "user", QStringLiteral("u%1").arg(i)),
             field(0, 1, "password", "pw", QStringLiteral("p%1").arg(i))}));
    }
    FakeBrowser browser;
    for (int t = 0; t < 10; ++t) {
        browser.addWindow(QStringLiteral("https://site%1.example/login?next=/home").arg(t * 99),
                          loginForms());
        browser.addWindow(
            QStringLiteral("https://news%1.example/2026/12/11/a-long-article-name?ref=front")
                .arg(t),
            loginForms());
    }
    RecordingErrorLog log;
    RecordingActions actions(state);
    Automation automation(state, browser, log, actions);
    automation.tick();  // fills the tabs of stored sites once; from now on nothing is left

    std::vector<double> us;
    us.reserve(std::size_t(ticks));
    for (int i = 0; i < ticks; ++i) {
        QElapsedTimer timer;
        timer.start();
        const AutomationReport report = automation.tick();
        us.push_back(double(timer.nsecsElapsed()) / 1e3);
        if (!report.writes.isEmpty() || report.error) {
            std::fprintf(stderr, "a tick wrote or failed: the bench is not measuring idle ticks\n");
            return 1;
        }
    }
    std::sort(us.begin(), us.end());
    std::printf(
        "tick, %d sites x %d tabs, nothing to fill: median %.3f ms, 90th percentile "
        "%.3f ms (%d ticks)\n",
        kTableSlots, int(browser.windows().size()), us[us.size() / 2] / 1e3,
        us[us.size() * 9 / 10] / 1e3, ticks);
    return 0;
}
