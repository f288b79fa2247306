// An X desktop for the tray program's tests: Xvfb, the tray host trayer, and what xdotool sees of
// the program's windows (its icon, its menus, its dialogs), clicked and typed into as a user would.
#pragma once

#include "browser/ChromiumHarness.h"

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QtTest>

namespace sirano::test {

inline QString runTool(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// The X desktop: Xvfb, trayer, and what xdotool sees of the program's windows.
class Desktop {
public:
    ~Desktop() {
        for (auto* p : {&trayer_, &xvfb_}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
        }
    }

    // What is missing for a desktop, or nothing.
    static QString missingTool() {
        for (const char* tool : {"Xvfb", "trayer", "xdotool"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                return QStringLiteral("%1 is not installed").arg(QLatin1String(tool));
        }
        return {};
    }

    bool start(QString* why) {
        xvfb_.start(QStringLiteral("Xvfb"),
                    {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                     QStringLiteral("0"), QStringLiteral("1024x768x24"),
                     QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!xvfb_.waitForStarted(5000) ||
            !ChromiumHarness::waitFor(
                [&] { return xvfb_.canReadLine() || xvfb_.waitForReadyRead(100); }, 10000)) {
            *why = QStringLiteral("Xvfb did not start");
            return false;
        }
        display_ = QStringLiteral(":") + QString::fromLatin1(xvfb_.readLine().trimmed());
        qputenv("DISPLAY", display_.toLatin1());
        trayer_.start(QStringLiteral("trayer"),
                      {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                       QStringLiteral("right"), QStringLiteral("--widthtype"),
                       QStringLiteral("pixel"), QStringLiteral("--width"), QStringLiteral("200"),
                       QStringLiteral("--height"), QStringLiteral("32")});
        return trayer_.waitForStarted(5000);
    }

    QString display() const { return display_; }

    struct Window {
        QString id;
        int width = 0;
        int height = 0;
        QString name;
    };
    static QList<Window> windows() {
        QList<Window> result;
        const QStringList ids = runTool(QStringLiteral("xdotool"),
                                        {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                         QStringLiteral("--classname"), QStringLiteral("^sirano$")})
                                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString& id : ids) {
            Window w;
            w.id = id;
            const QString shell =
                runTool(QStringLiteral("xdotool"),
                        {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
            for (const QString& line : shell.split(QLatin1Char('\n'))) {
                if (line.startsWith(QLatin1String("WIDTH=")))
                    w.width = line.mid(6).toInt();
                else if (line.startsWith(QLatin1String("HEIGHT=")))
                    w.height = line.mid(7).toInt();
            }
            w.name = runTool(QStringLiteral("xdotool"), {QStringLiteral("getwindowname"), id});
            result.append(w);
        }
        return result;
    }
    static QString icon() {
        for (const Window& w : windows()) {
            if (w.width > 0 && w.width <= 32 && w.height > 0 && w.height <= 32)
                return w.id;
        }
        return {};
    }
    // A popup menu: one of the program's windows wider than the icon and without a title.
    static bool menuOpen() {
        for (const Window& w : windows()) {
            if (w.width > 32 && w.name == QLatin1String("sirano"))
                return true;
        }
        return false;
    }
    // button 1: the site menu; 3: the command menu. Clicked near the top, where no menu covers it.
    static bool clickIcon(int button) {
        const QString id = icon();
        if (id.isEmpty())
            return false;
        runTool(QStringLiteral("xdotool"),
                {QStringLiteral("mousemove"), QStringLiteral("--window"), id, QStringLiteral("10"),
                 QStringLiteral("3"), QStringLiteral("click"), QString::number(button)});
        return true;
    }
    // The program's window named name (other than except), waiting up to timeoutMs.
    static QString waitForWindow(const QString& name, const QString& except = {},
                                 int timeoutMs = 10000) {
        QString id;
        ChromiumHarness::waitFor(
            [&] {
                for (const Window& w : windows()) {
                    if (w.name == name && w.id != except)
                        id = w.id;
                }
                return !id.isEmpty();
            },
            timeoutMs);
        return id;
    }
    // Focuses the window, and types each text followed by Enter.
    static void typeInto(const QString& window, const QStringList& texts) {
        runTool(QStringLiteral("xdotool"),
                {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
        for (const QString& text : texts) {
            if (!text.isEmpty())
                runTool(QStringLiteral("xdotool"), {QStringLiteral("type"), text});
            keys({QStringLiteral("Return")});
        }
    }
    static void keys(const QStringList& names) {
        for (const QString& k : names) {
            runTool(QStringLiteral("xdotool"), {QStringLiteral("key"), k});
            QTest::qWait(150);
        }
    }
    // Opens a menu and walks it by keys; false when the menu did not open.
    static bool chooseFromMenu(int button, const QStringList& keyNames) {
        if (!clickIcon(button) || !ChromiumHarness::waitFor(&Desktop::menuOpen, 5000))
            return false;
        keys(keyNames);
        return ChromiumHarness::waitFor([] { return !menuOpen(); }, 5000);
    }

private:
    QProcess xvfb_;
    QProcess trayer_;
    QString display_;
};

}  // namespace sirano::test
