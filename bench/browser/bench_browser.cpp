// The browser work on a real headless Chromium with 20 tabs of 50 inputs each: the time and the
// protocol round trips of a capture, a fill on request and two kinds of tick, then the program's
// own CPU while it ticks once a second over idle tabs. The peer client (peer.py) does the same
// reads and writes on the same tabs in the same run, one after the other and pipelined; the
// ratios are to it.
//
//   browser_bench [--idle-seconds N]   (default 30)
#include "bench/BrowserWorkKit.h"
#include "bench/Measure.h"
#include "browser/Automation.h"
#include "browser/ChromiumHarness.h"
#include "browser/devtools/ChromiumBrowser.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace sirano;
using namespace sirano::test;

namespace {

constexpr int kTabs = 20;
constexpr int kRuns = 11;

struct Figure {
    double medianMs = 0;
    quint64 waited = 0;    // round trips a caller waited for, per run
    quint64 commands = 0;  // every command sent, per run
};

// Runs op kRuns times (prepare before each, untimed) and keeps the median time.
template <typename Prepare, typename Op>
Figure measure(ChromiumBrowser& browser, Prepare prepare, Op op) {
    std::vector<double> times;
    Figure f;
    for (int i = 0; i < kRuns; ++i) {
        prepare();
        const auto before = browser.traffic();
        QElapsedTimer clock;
        clock.start();
        op();
        times.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        const auto after = browser.traffic();
        f.waited = after.waited - before.waited;
        f.commands = after.commands - before.commands;
    }
    std::sort(times.begin(), times.end());
    f.medianMs = times[times.size() / 2];
    return f;
}

void report(const char* what, const Figure& f) {
    std::printf("%-44s %8.2f ms   %3llu round trips (%llu commands)\n", what, f.medianMs,
                static_cast<unsigned long long>(f.waited),
                static_cast<unsigned long long>(f.commands));
}

// The peer's median of its evaluations alone (its connection and attaches not counted).
double peerMs(const QString& profile, const QString& op, bool pipelined) {
    QStringList args{QStringLiteral(PEER_PY),     op,
                     QStringLiteral("--profile"), profile,
                     QStringLiteral("--match"),   QStringLiteral("fifty.html"),
                     QStringLiteral("--repeat"),  QString::number(4 * kRuns)};
    if (pipelined)
        args << QStringLiteral("--pipelined");
    QProcess peer;
    peer.start(QStringLiteral("python3"), args);
    peer.waitForFinished(60000);
    const QString out = QString::fromUtf8(peer.readAllStandardOutput());
    const auto m = QRegularExpression(QStringLiteral("median ([0-9.]+) ms")).match(out);
    if (!m.hasMatch()) {
        std::fprintf(stderr, "browser_bench: the peer failed: %s%s\n", qPrintable(out),
                     peer.readAllStandardError().constData());
        return 0;
    }
    return m.captured(1).toDouble();
}

void compare(const char* what, double ours, double peerOneByOne, double peerPipelined) {
    std::printf(
        "%-44s %8.2f ms   peer %6.2f ms one by one (ratio %.2f), %6.2f ms pipelined "
        "(ratio %.2f)\n",
        what, ours, peerOneByOne, ours / peerOneByOne, peerPipelined, ours / peerPipelined);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int idleSeconds = bench::idleSeconds(app.arguments());

    ChromiumHarness harness;
    QString why;
    if (!harness.startWithFiftyInputTabs(kTabs, &why)) {
        std::fprintf(stderr, "browser_bench: %s\n", qPrintable(why));
        return 1;
    }

    ChromiumBrowser::Options options;
    options.profileFolder = harness.profileFolder();
    ChromiumBrowser browser(options);
    if (!ChromiumHarness::waitFor([&] {
            const auto windows = browser.windows();
            return windows.size() == kTabs && std::none_of(windows.begin(), windows.end(),
                                                           [](const auto& w) { return w->busy(); });
        })) {
        std::fprintf(stderr, "browser_bench: the tabs did not settle\n");
        return 1;
    }
    QThread::msleep(500);  // the isolated worlds are made in the background after each load

    AppState state;
    state.loggedIn = true;
    bench::CountingLog log;
    bench::QuietActions actions;
    Automation automation{state, browser, log, actions};

    double load[1] = {0};
    getloadavg(load, 1);
    std::printf(
        "browser_bench: %d tabs of 50 inputs, headless Chromium, median of %d runs, "
        "load average %.2f\n",
        kTabs, kRuns, load[0]);
    const Figure capture = measure(
        browser, [&] { state.siteTable = SiteTable(); }, [&] { automation.capture(); });
    report("capture of all tabs", capture);
    if (state.siteTable.siteCount() != kTabs || state.siteTable.at(0).fieldCount() != 50) {
        std::fprintf(stderr, "browser_bench: captured %d entries\n", state.siteTable.siteCount());
        return 1;
    }

    // One more entry whose address every tab contains: the fill on request writes all 20.
    SiteEntry all = state.siteTable.at(0);
    all.url = harness.url(QStringLiteral("fifty.html"));
    state.siteTable.append(all);
    const int16_t allIndex = static_cast<int16_t>(state.siteTable.siteCount() - 1);
    const Figure fill = measure(
        browser, [] {}, [&] { automation.fillSite(allIndex); });
    report("fill on request (matches all tabs)", fill);
    state.siteTable.remove(allIndex);  // from here on each entry matches its own tab only

    auto clearMarkers = [&] {
        for (int i = 0; i < state.siteTable.siteCount(); ++i)
            state.siteTable.at(i).filledWindows.clear();
    };
    const Figure tick = measure(browser, clearMarkers, [&] { automation.tick(); });
    report("tick, every tab matching", tick);
    report("tick, every tab already filled", measure(
                                                 browser, [] {}, [&] { automation.tick(); }));

    const QString profile = harness.profileFolder();
    const double peerRead = peerMs(profile, QStringLiteral("read"), false);
    const double peerReadPipelined = peerMs(profile, QStringLiteral("read"), true);
    const double peerWrite = peerMs(profile, QStringLiteral("write"), false);
    const double peerWritePipelined = peerMs(profile, QStringLiteral("write"), true);
    std::printf("in process, side by side with the peer:\n");
    compare("capture of all tabs", capture.medianMs, peerRead, peerReadPipelined);
    compare("fill on request (matches all tabs)", fill.medianMs, peerWrite, peerWritePipelined);
    compare("tick, every tab matching", tick.medianMs, peerWrite, peerWritePipelined);

    // The program's own CPU while it ticks once a second over idle tabs, as the tray does.
    QTimer timer;
    timer.setInterval(1000);
    QObject::connect(&timer, &QTimer::timeout, [&] { automation.tick(); });
    const auto before = browser.traffic();
    const double cpuBefore = bench::cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    timer.start();
    QTimer::singleShot(idleSeconds * 1000, Qt::PreciseTimer, &app, &QCoreApplication::quit);
    app.exec();
    const double cpu = bench::cpuSeconds() - cpuBefore;
    const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;
    const auto after = browser.traffic();
    std::printf(
        "idle: %d tabs, %.1f s of ticks: CPU %.3f s = %.3f %% of one core, "
        "%llu commands sent\n",
        kTabs, seconds, cpu, 100.0 * cpu / seconds,
        static_cast<unsigned long long>(after.commands - before.commands));

    // With the browser gone, each tick finds its DevToolsActivePort refused.
    harness.killBrowser();
    report("tick, no browser (port refused)", measure(
                                                  browser, [] {}, [&] { automation.tick(); }));
    std::printf("errors logged: %d\n", log.count);
    return log.count == 0 ? 0 : 1;
}
