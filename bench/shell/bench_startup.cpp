// Starts the tray program under Xvfb with trayer and reports, over several runs:
//   - the time from process start to the tray icon being added (SIRANO_TRAY_MARK);
//   - the time until the program is usable: its start through, the data loaded
//     (SIRANO_READY_MARK); for the bare program, its icon;
//   - the time until the program falls idle (data file loaded, site menu built);
//   - its resident memory (VmRSS) once idle, and for SIRANO once more after its site menu was
//     opened (a left click on the icon, through xdotool) and closed again.
// Once with no data file, once with a full table: 1001 entries of 101 fields, 20-character values;
// and the bare Qt tray program beside it (bare_tray) as the yardstick. The three take turns, run
// by run, so that a change in the load of a shared machine falls on all of them alike.
#include "app/AppState.h"
#include "bench/Measure.h"
#include "store/DataFile.h"
#include "support/StoreFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

using namespace sirano;
using namespace sirano::test;
using Clock = std::chrono::system_clock;

namespace {

constexpr int kRuns = 9;  // a multiple of the three programs: see runInTurn()

QString text20(int i, int j) {
    return QStringLiteral("v%1-%2-").arg(i).arg(j).leftJustified(20, 'x');
}

void writeFullTable(const QString& path) {
    AppState state;
    for (int i = 0; i < kTableSlots; ++i) {
        SiteEntry e;
        e.title = QStringLiteral("Site %1").arg(i).leftJustified(20, '.');
        e.url = QStringLiteral("https://s%1.example/").arg(i).leftJustified(20, 'a');
        for (int j = 0; j < kFieldColumns; ++j)
            e.setField(j, SiteField{0, int16_t(j), QStringLiteral("text"),
                                    QStringLiteral("name%1").arg(j), text20(i, j)});
        state.siteTable.append(std::move(e));
    }
    state.settings = Settings{QStringLiteral("password"), 1, 0};
    saveStore(state, path);
}

// utime + stime in clock ticks.
long cpuTicks(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLong() + fields.value(12).toLong();
}

struct Run {
    double iconMs = 0;
    double readyMs = 0;
    double idleMs = 0;
    long rss = 0;
    long rssAfterMenu = 0;  // 0: not measured
};

QString xdotool(const QString& display, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("xdotool"), args);
    p.waitForFinished(5000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

// The program's visible windows: id and width.
std::vector<std::pair<QString, int>> programWindows(const QString& display) {
    std::vector<std::pair<QString, int>> out;
    const QStringList ids =
        xdotool(display, {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                          QStringLiteral("--classname"), QStringLiteral("^sirano$")})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& id : ids) {
        const QString shell =
            xdotool(display, {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
        const auto at = shell.indexOf(QLatin1String("WIDTH="));
        out.emplace_back(id,
                         at < 0 ? 0 : shell.mid(at + 6).section(QLatin1Char('\n'), 0, 0).toInt());
    }
    return out;
}

// Waits until the process has used no CPU time over three 50 ms polls; the last moment it did.
Clock::time_point waitForIdle(qint64 pid) {
    long last = cpuTicks(pid);
    int quiet = 0;
    auto idleAt = Clock::now();
    while (quiet < 3) {
        QThread::msleep(50);
        const long now = cpuTicks(pid);
        if (now == last) {
            ++quiet;
        } else {
            quiet = 0;
            last = now;
            idleAt = Clock::now();
        }
    }
    return idleAt;
}

// Opens the site menu by a left click on the icon and closes it by Escape; false when it did not
// open.
bool openAndCloseSiteMenu(const QString& display) {
    QString icon;
    for (const auto& [id, width] : programWindows(display)) {
        if (width > 0 && width <= 32)
            icon = id;
    }
    if (icon.isEmpty())
        return false;
    xdotool(display,
            {QStringLiteral("mousemove"), QStringLiteral("--window"), icon, QStringLiteral("10"),
             QStringLiteral("3"), QStringLiteral("click"), QStringLiteral("1")});
    const auto menuOpen = [&] {
        for (const auto& [id, width] : programWindows(display)) {
            if (width > 32)
                return true;
        }
        return false;
    };
    bool opened = false;
    for (int i = 0; i < 100 && !(opened = menuOpen()); ++i)
        QThread::msleep(50);
    xdotool(display, {QStringLiteral("key"), QStringLiteral("Escape")});
    return opened;
}

// The moment written to file, in ms after t0; nothing until it is written.
std::optional<double> markAfter(const QString& file, Clock::time_point t0) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray ns = f.readAll();
    if (ns.isEmpty())
        return std::nullopt;
    const auto at = Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns.toLongLong())));
    return std::chrono::duration<double, std::milli>(at - t0).count();
}

std::optional<Run> runOnce(const QString& program, const QString& display, const QString& home,
                           bool marksReady, bool opensSiteMenu) {
    const QString mark = QDir(home).filePath(QStringLiteral("mark"));
    const QString readyMark = QDir(home).filePath(QStringLiteral("ready"));
    QFile::remove(mark);
    QFile::remove(readyMark);
    QFile::remove(QDir(home).filePath(QStringLiteral("share/sirano/sirano.lock")));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_DATA_HOME"), QDir(home).filePath(QStringLiteral("share")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home);
    env.insert(QStringLiteral("SIRANO_TRAY_MARK"), mark);
    env.insert(QStringLiteral("SIRANO_READY_MARK"), readyMark);

    QProcess app;
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const auto t0 = Clock::now();
    app.start(program, {});
    if (!app.waitForStarted())
        return std::nullopt;

    Run run;
    for (;;) {
        if (app.state() == QProcess::NotRunning || Clock::now() - t0 > std::chrono::seconds(20))
            return std::nullopt;
        const auto icon = markAfter(mark, t0);
        const auto ready = marksReady ? markAfter(readyMark, t0) : icon;
        if (icon && ready) {
            run.iconMs = *icon;
            run.readyMs = *ready;
            break;
        }
        QThread::msleep(1);
    }
    const auto idleAt = waitForIdle(app.processId());
    run.idleMs = std::chrono::duration<double, std::milli>(idleAt - t0).count();
    run.rss = bench::rssKiB(app.processId());
    if (opensSiteMenu && openAndCloseSiteMenu(display)) {
        waitForIdle(app.processId());
        run.rssAfterMenu = bench::rssKiB(app.processId());
    }
    app.terminate();
    app.waitForFinished();
    return run;
}

double loadAverage() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

template <typename T>
T median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Medians {
    double iconMs = 0;
    double readyMs = 0;
    double rssMiB = 0;
};

// One program under test, its data folder under home, and its runs.
struct Subject {
    Subject(const char* what, QString program, QString home, bool marksReady)
        : what(what), program(std::move(program)), home(std::move(home)), marksReady(marksReady) {}
    const char* what;
    QString program;
    QString home;
    bool marksReady;
    std::vector<double> icon;
    std::vector<double> ready;
    std::vector<double> idle;
    std::vector<long> rss;
    std::vector<long> rssAfterMenu;  // of the runs where the site menu opened
    bool failed = false;
};

// Each run starts with the next program, so that each follows each as often: a start is slower
// while the X server and the tray host are still busy with the end of the one before.
void runInTurn(std::vector<Subject>& subjects, const QString& display) {
    for (const Subject& s : subjects)
        runOnce(s.program, display, s.home, s.marksReady, false);  // warms the file cache
    for (size_t i = 0; i < static_cast<size_t>(kRuns); ++i) {
        for (size_t k = 0; k < subjects.size(); ++k) {
            Subject& s = subjects[(i + k) % subjects.size()];
            if (s.failed)
                continue;
            const auto run = runOnce(s.program, display, s.home, s.marksReady, s.marksReady);
            if (!run) {
                s.failed = true;
                continue;
            }
            s.icon.push_back(run->iconMs);
            s.ready.push_back(run->readyMs);
            s.idle.push_back(run->idleMs);
            s.rss.push_back(run->rss);
            if (run->rssAfterMenu > 0)
                s.rssAfterMenu.push_back(run->rssAfterMenu - run->rss);
        }
    }
}

std::optional<Medians> report(const Subject& s) {
    if (s.failed) {
        std::printf("%s: the program did not show its icon\n", s.what);
        return std::nullopt;
    }
    std::printf(
        "%-22s start to tray icon: median %6.1f ms, max %6.1f ms | usable: median %6.1f ms, "
        "max %6.1f ms | until idle: median %6.1f ms | RSS idle: median %5.1f MiB, max %5.1f "
        "MiB\n",
        s.what, median(s.icon), *std::max_element(s.icon.begin(), s.icon.end()), median(s.ready),
        *std::max_element(s.ready.begin(), s.ready.end()), median(s.idle), median(s.rss) / 1024.0,
        *std::max_element(s.rss.begin(), s.rss.end()) / 1024.0);
    if (!s.rssAfterMenu.empty())
        std::printf(
            "%-22s RSS after the site menu opened and closed: median %+.1f MiB over idle "
            "(%zu runs)\n",
            s.what, median(s.rssAfterMenu) / 1024.0, s.rssAfterMenu.size());
    return Medians{median(s.icon), median(s.ready), median(s.rss) / 1024.0};
}

void ratio(const char* what, const std::optional<Medians>& ours,
           const std::optional<Medians>& bare) {
    if (ours && bare)
        std::printf(
            "%-22s start to tray icon %.2f x, usable %.2f x the bare Qt tray program's icon, RSS "
            "%+.1f MiB\n",
            what, ours->iconMs / bare->iconMs, ours->readyMs / bare->iconMs,
            ours->rssMiB - bare->rssMiB);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
    if (xvfb.isEmpty() || trayer.isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
        std::printf("skipped: needs Xvfb, trayer and xdotool\n");
        return 0;
    }
    int n = 90;
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)))
        ++n;
    const QString display = QStringLiteral(":%1").arg(n);
    QProcess x;
    x.start(xvfb,
            {display, QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1024x768x24"),
             QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    for (int i = 0; i < 200 && !QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)); ++i)
        QThread::msleep(10);
    QProcess tray;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    tray.setProcessEnvironment(env);
    tray.start(trayer, {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                        QStringLiteral("right")});
    QThread::msleep(500);

    QTemporaryDir home;
    QTemporaryDir fullHome;
    for (const QTemporaryDir* h : {&home, &fullHome})
        QDir(h->path()).mkpath(QStringLiteral("share/sirano"));
    const QString data = QDir(fullHome.path()).filePath(QStringLiteral("share/sirano/SIRANO.DAT"));
    writeFullTable(data);
    std::printf("load average %.2f\n", loadAverage());
    std::vector<Subject> subjects{
        {"bare Qt tray program", QStringLiteral(BARE_EXE), home.path(), false},
        {"no data file", QStringLiteral(SIRANO_EXE), home.path(), true},
        {"full table", QStringLiteral(SIRANO_EXE), fullHome.path(), true},
    };
    runInTurn(subjects, display);

    const auto bare = report(subjects[0]);
    const auto empty = report(subjects[1]);
    ratio("no data file", empty, bare);
    std::printf("full table: %d entries x %d fields, data file %.1f MiB\n", kTableSlots,
                kFieldColumns, QFileInfo(data).size() / 1048576.0);
    const auto full = report(subjects[2]);
    ratio("full table", full, bare);
    const bool ok = bare && empty && full;

    tray.terminate();
    tray.waitForFinished();
    x.terminate();
    x.waitForFinished();
    return ok ? 0 : 1;
}
