// The tray program's one-second tick over 20 idle tabs of 50 inputs, each already filled: the
// program as main() puts it together (TrayApp, its menus and its tick timer), with a real headless
// Chromium found through the profile's DevToolsActivePort. The sites come from "記憶" in the
// program's own command menu. Reports the page round trips and commands of the idle ticks and
// the process's CPU time as a share of one core.
//
//   shell_tick_bench [--idle-seconds N]   (default 30)
#include "bench/Measure.h"
#include "bench/shell/TrayBenchKit.h"
#include "browser/ChromiumHarness.h"
#include "browser/devtools/ChromiumBrowser.h"
#include "shell/TrayApp.h"
#include "support/Lent.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>

using namespace sirano;
using namespace sirano::test;
using sirano::bench::CountingLog;
using sirano::bench::PrintingMessageBox;

namespace {

constexpr int kTabs = 20;

QAction* commandAction(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* menu = qobject_cast<QMenu*>(w); menu && menu->objectName() == "commandMenu")
            return menu->findChild<QAction*>(QLatin1String(name));
    }
    return nullptr;
}

bool allFilled(const AppState& state) {
    if (state.siteTable.siteCount() != kTabs)
        return false;
    for (int i = 0; i < kTabs; ++i) {
        if (state.siteTable.at(i).filledWindows.empty())
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const int idleSeconds = bench::idleSeconds(QApplication::arguments());

    ChromiumHarness harness;
    QString why;
    if (!harness.startWithFiftyInputTabs(kTabs, &why)) {
        std::fprintf(stderr, "shell_tick_bench: %s\n", qPrintable(why));
        return 1;
    }

    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("share")).toLocal8Bit());
    QTemporaryDir executableFolder;

    AppState state;
    PrintingMessageBox messages;
    SystemClock clock;
    CountingLog log;
    ChromiumBrowser* browser = nullptr;
    TrayServices services{
        messages,
        clock,
        [&](const QString&) {
            ChromiumBrowser::Options options;
            options.profileFolder = harness.profileFolder();
            auto made = std::make_unique<ChromiumBrowser>(options);
            browser = made.get();
            return made;
        },
        [&](const QString&) { return std::make_unique<LentLog>(log); },
        [] { return TrayHost::XEmbed; },
        {},
        std::chrono::milliseconds(1000),
        {},
    };
    TrayApp tray(state, executableFolder.path(), std::move(services));
    tray.start();
    // No data file: logged in at once. "記憶" then makes one site of each tab.
    if (!QTest::qWaitFor([&] { return browser != nullptr; }, 10000)) {
        std::fprintf(stderr, "shell_tick_bench: the program did not start\n");
        return 1;
    }
    const bool settled = QTest::qWaitFor(
        [&] {
            const auto windows = browser->windows();
            return windows.size() == kTabs && std::none_of(windows.begin(), windows.end(),
                                                           [](const auto& w) { return w->busy(); });
        },
        20000);
    if (!settled) {
        std::fprintf(stderr, "shell_tick_bench: the tabs did not settle\n");
        return 1;
    }
    commandAction("captureAction")->trigger();
    if (!QTest::qWaitFor([&] { return allFilled(state); }, 30000)) {
        std::fprintf(stderr, "shell_tick_bench: %d sites, not all filled\n",
                     state.siteTable.siteCount());
        return 1;
    }
    QTest::qWait(1500);  // one more tick: every tab has been seen filled

    const auto before = browser->traffic();
    const double cpuBefore = bench::cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTest::qWait(idleSeconds * 1000);
    const double cpu = bench::cpuSeconds() - cpuBefore;
    const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;
    const auto after = browser->traffic();
    std::printf(
        "shell_tick_bench: the tray program, %d idle tabs of 50 inputs, each filled once\n"
        "%.1f s of ticks: %llu page round trips, %llu commands sent; "
        "CPU %.3f s = %.3f %% of one core (the whole process)\n",
        kTabs, seconds, static_cast<unsigned long long>(after.waited - before.waited),
        static_cast<unsigned long long>(after.commands - before.commands), cpu,
        100.0 * cpu / seconds);
    std::printf("errors logged: %d\n", log.count);
    return log.count == 0 ? 0 : 1;
}
