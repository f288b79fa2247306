// The capture and the fill on request of 20 tabs of 50 inputs through the companion extension,
// in Chromium and in Firefox ESR, side by side with the DevTools route on the same Chromium tabs
// in the same run (the two routes taking turns, run by run); then the messages the idle tick
// sends through the extension once every tab is filled.
//
//   browser_extension_bench
#include "bench/BrowserWorkKit.h"
#include "browser/Automation.h"
#include "browser/ChromiumHarness.h"
#include "browser/ExtensionSetup.h"
#include "browser/FirefoxHarness.h"
#include "browser/devtools/ChromiumBrowser.h"
#include "browser/extension/ExtensionBrowser.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace sirano;
using namespace sirano::test;

namespace {

constexpr int kTabs = 20;
constexpr int kRuns = 11;

// The capture and the fill of one browser route, with its own state.
struct Route {
    Route(const char* n, Browser& b) : name(n), automation{state, b, log, actions} {
        state.loggedIn = true;
    }
    double captureOnce() {
        state.siteTable = SiteTable();
        QElapsedTimer clock;
        clock.start();
        automation.capture();
        return static_cast<double>(clock.nsecsElapsed()) / 1e6;
    }
    // Captured first: then one more entry whose address every tab holds.
    void prepareFill(const QString& fiftyUrl) {
        captureOnce();
        SiteEntry all = state.siteTable.at(0);
        all.url = fiftyUrl;
        state.siteTable.append(all);
    }
    double fillOnce() {
        QElapsedTimer clock;
        clock.start();
        automation.fillSite(static_cast<int16_t>(state.siteTable.siteCount() - 1));
        return static_cast<double>(clock.nsecsElapsed()) / 1e6;
    }

    const char* name;
    AppState state;
    bench::CountingLog log;
    bench::QuietActions actions;
    Automation automation;
    std::vector<double> captures;
    std::vector<double> fills;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool settled(Browser& browser) {
    return ChromiumHarness::waitFor(
        [&] {
            const auto windows = browser.windows();
            return std::count_if(windows.begin(), windows.end(), [](const auto& w) {
                       return !w->busy() && w->locationUrl().contains(QLatin1String("fifty.html"));
                   }) == kTabs;
        },
        30000);
}

// Runs each route's capture and fill kRuns times, the routes taking turns.
void measure(const QList<Route*>& routes, const QString& fiftyUrl) {
    for (int i = 0; i < kRuns; ++i) {
        for (Route* r : routes)
            r->captures.push_back(r->captureOnce());
    }
    for (Route* r : routes)
        r->prepareFill(fiftyUrl);
    for (int i = 0; i < kRuns; ++i) {
        for (Route* r : routes)
            r->fills.push_back(r->fillOnce());
    }
}

void report(const Route& r, const Route& devtools) {
    const double capture = median(r.captures);
    const double fill = median(r.fills);
    std::printf("%-34s capture %7.2f ms (%.2f x DevTools)   fill %7.2f ms (%.2f x DevTools)\n",
                r.name, capture, capture / median(devtools.captures), fill,
                fill / median(devtools.fills));
}

// Messages the tick sends through the extension over ticks once every tab is filled.
quint64 idleMessages(Route& r, const ExtensionBrowser& browser) {
    r.state.siteTable = SiteTable();
    r.captureOnce();
    r.automation.tick();  // fills what it may, once
    const quint64 before = browser.link().messagesSent();
    for (int i = 0; i < 5; ++i)
        r.automation.tick();
    return browser.link().messagesSent() - before;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    RuntimeFolder runtime;
    QString why;
    auto fail = [&](const char* what) {
        std::fprintf(stderr, "browser_extension_bench: %s %s\n", what, qPrintable(why));
        return 1;
    };
    double load[1] = {0};
    getloadavg(load, 1);
    std::printf(
        "browser_extension_bench: %d tabs of 50 inputs, median of %d runs, load average %.2f\n",
        kTabs, kRuns, load[0]);

    // Chromium: the same tabs through both routes.
    {
        auto link = std::make_shared<ExtensionLink>(runtime.socketPath());
        ChromiumHarness chromium;
        writeHostManifest(
            QDir(chromium.profileFolder()).filePath(QStringLiteral("NativeMessagingHosts")), false);
        chromium.addSwitches({QStringLiteral("--load-extension=" SIRANO_WEBEXT_DIR "/chromium")});
        if (!chromium.startWithFiftyInputTabs(kTabs, &why))
            return fail("Chromium:");
        ExtensionBrowser extension(link);
        ChromiumBrowser::Options options;
        options.profileFolder = chromium.profileFolder();
        ChromiumBrowser devtools(options);
        if (!settled(extension) || !settled(devtools))
            return fail("Chromium's tabs did not settle");
        Route viaDevTools("Chromium, DevTools route", devtools);
        Route viaExtension("Chromium, extension route", extension);
        measure({&viaDevTools, &viaExtension}, chromium.url(QStringLiteral("fifty.html")));
        report(viaDevTools, viaDevTools);
        report(viaExtension, viaDevTools);
        std::printf("%-34s %llu messages over 5 idle ticks\n", viaExtension.name,
                    static_cast<unsigned long long>(idleMessages(viaExtension, extension)));

        // Firefox: the extension route, beside the DevTools route on Chromium above.
        writeHostManifest(QDir::home().filePath(QStringLiteral(".mozilla/native-messaging-hosts")),
                          true);
        FirefoxHarness firefox;
        if (!firefox.start(&why) ||
            !firefox.installExtension(QStringLiteral(SIRANO_WEBEXT_DIR "/firefox"), &why))
            return fail("Firefox:");
        QStringList tabs;
        for (int i = 0; i < kTabs; ++i)
            tabs << firefox.openTab(
                firefox.url(QStringLiteral("fifty.html?tab=%1").arg(i, 2, 10, QLatin1Char('0'))));
        for (const QString& tab : tabs) {
            if (!FirefoxHarness::waitFor([&] { return firefox.loaded(tab); }, 20000))
                return fail("a Firefox tab did not load");
        }
        chromium.killBrowser();  // its extension leaves: Firefox's is the one connected
        ExtensionBrowser firefoxBrowser(link);
        if (!settled(firefoxBrowser))
            return fail("Firefox's tabs did not settle");
        Route viaFirefox("Firefox ESR, extension route", firefoxBrowser);
        measure({&viaFirefox}, firefox.url(QStringLiteral("fifty.html")));
        report(viaFirefox, viaDevTools);
        std::printf("%-34s %llu messages over 5 idle ticks\n", viaFirefox.name,
                    static_cast<unsigned long long>(idleMessages(viaFirefox, firefoxBrowser)));
        const int errors = viaDevTools.log.count + viaExtension.log.count + viaFirefox.log.count;
        std::printf("errors logged: %d\n", errors);
        return errors == 0 ? 0 : 1;
    }
}
