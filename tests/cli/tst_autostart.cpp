// sirano-cli autostart: the XDG autostart entry of the tray program, written, read back and
// removed, for this build's programs and for an installed-looking copy in an awkwardly named
// folder.
#include "support/CliRunner.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace sirano::test;

namespace {

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

}  // namespace

class TestAutostart : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    QString home() const { return dir_.filePath(QStringLiteral("home")); }
    QString config() const { return dir_.filePath(QStringLiteral("config")); }
    QString entry() const { return config() + QStringLiteral("/autostart/sirano.desktop"); }

    Result run(const QStringList& args, const QString& program = QStringLiteral(SIRANO_CLI_PATH),
               const std::optional<QString>& xdgConfigHome = std::nullopt) {
        CliRun run{args,
                   {},
                   {{QStringLiteral("HOME"), home()},
                    {QStringLiteral("XDG_DATA_HOME"), dir_.filePath(QStringLiteral("data"))},
                    {QStringLiteral("XDG_CONFIG_HOME"), xdgConfigHome.value_or(config())}}};
        if (xdgConfigHome && xdgConfigHome->isEmpty())
            run.unset << QStringLiteral("XDG_CONFIG_HOME");
        run.program = program;
        const CliResult r = runCli(run);
        return {r.exitCode, QString::fromUtf8(r.out), QString::fromUtf8(r.err)};
    }

    static QByteArray read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // A copy of sirano-cli in bin beside a stand-in tray program with this script; the copy's
    // path, or nothing when it could not be made.
    static QString install(const QString& bin, const char* trayScript) {
        const QString cli = bin + QStringLiteral("/sirano-cli");
        QFile tray(bin + QStringLiteral("/sirano"));
        if (!QDir().mkpath(bin) || !QFile::copy(QStringLiteral(SIRANO_CLI_PATH), cli) ||
            !QFile::setPermissions(cli, QFile::ReadOwner | QFile::ExeOwner) ||
            !tray.open(QIODevice::WriteOnly) || tray.write(trayScript) < 0)
            return {};
        tray.close();
        if (!tray.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            return {};
        return cli;
    }

    // Launches the autostart entry as a desktop does (gio) and answers what the stand-in tray
    // program wrote into its marker.
    QString launched(const QString& gio) {
        const QString marker = dir_.filePath(QStringLiteral("launched"));
        QFile::remove(marker);
        QProcess launch;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SIRANO_TEST_MARKER"), marker);
        launch.setProcessEnvironment(env);
        launch.start(gio, {QStringLiteral("launch"), entry()});
        if (!launch.waitForFinished() || launch.exitCode() != 0) {
            qWarning() << "gio launch failed:" << launch.readAllStandardError();
            return {};
        }
        if (!QTest::qWaitFor([&] { return QFileInfo(marker).size() > 0; }, 10000))
            return {};
        return QString::fromUtf8(read(marker));
    }

    static void validate(const QString& path) {
        const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
        if (validator.isEmpty())
            QFAIL("desktop-file-validate is missing (scripts/install-deps installs it)");
        QProcess p;
        p.start(validator, {path});
        QVERIFY(p.waitForFinished());
        QVERIFY2(p.exitCode() == 0, p.readAll().constData());
    }

private Q_SLOTS:
    void init() {
        QDir(config()).removeRecursively();
        QDir(home()).removeRecursively();
        QVERIFY(QDir().mkpath(home()));
    }

    // on, status, off, status: the build's tray program, found from the build's sirano-cli.
    void onAndOffInABuild() {
        const QString sirano = QFileInfo(QStringLiteral(SIRANO_EXE)).canonicalFilePath();
        Result r = run({"autostart", "status"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, "autostart off\n");

        r = run({"autostart", "on"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(sirano + " (a build's program)"), qPrintable(r.out));
        const QByteArray text = read(entry());
        QVERIFY2(text.contains("\nExec=" + sirano.toUtf8() + "\n"), text.constData());
        QVERIFY(text.startsWith("[Desktop Entry]\nType=Application\n"));
        validate(entry());

        r = run({"autostart", "status"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QStringLiteral("autostart on: %1 starts %2 (a build's program)\n")
                            .arg(entry(), sirano));
        QCOMPARE(r.err, QString());

        // A second "on" writes the same entry again.
        QCOMPARE(run({"autostart", "on"}).exitCode, 0);
        QCOMPARE(read(entry()), text);

        r = run({"autostart", "off"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(!QFile::exists(entry()));
        QCOMPARE(run({"autostart", "status"}).out, "autostart off\n");
        r = run({"autostart", "off"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains("it was off"));
    }

    // Without XDG_CONFIG_HOME, or with a relative one (which XDG says to ignore): ~/.config.
    void defaultConfigFolder_data() {
        QTest::addColumn<QString>("xdgConfigHome");
        QTest::newRow("unset") << QString();
        QTest::newRow("relative") << QStringLiteral("relative/config");
    }
    void defaultConfigFolder() {
        QFETCH(QString, xdgConfigHome);
        QCOMPARE(run({"autostart", "on"}, SIRANO_CLI_PATH, xdgConfigHome).exitCode, 0);
        QVERIFY(QFile::exists(home() + "/.config/autostart/sirano.desktop"));
        QVERIFY(!QFile::exists(entry()));
    }

    // An installed pair in a folder whose name needs quoting in an Exec line: the entry names
    // that sirano, and status reads the same path back.
    void installedCopyInAnAwkwardFolder() {
        const QString bin = dir_.filePath(QStringLiteral("my bin $HOME \"x\" 100% `y` \\z"));
        const QString cli = install(bin, "#!/bin/sh\n");
        QVERIFY(!cli.isEmpty());

        Result r = run({"autostart", "on"}, cli);
        QCOMPARE(r.exitCode, 0);
        const QString expected = QStringLiteral("%1/sirano (the installed program)").arg(bin);
        QVERIFY2(r.out.contains(expected), qPrintable(r.out));
        validate(entry());
        const QByteArray text = read(entry());
        // Quoted, with ", `, $ and \ escaped inside the quotes, then every \ doubled; % doubled,
        // and started through env, as GLib looks for the program before undoing "%%".
        QVERIFY2(text.contains("Exec=/usr/bin/env \"") && text.contains("\\\\$HOME") &&
                     text.contains("\\\\\"x\\\\\"") && text.contains("100%%") &&
                     text.contains("\\\\`y\\\\`") && text.contains("\\\\\\\\z"),
                 text.constData());

        r = run({"autostart", "status"}, cli);
        QCOMPARE(r.out, QStringLiteral("autostart on: %1 starts %2\n").arg(entry(), expected));

        // Without its sirano the copy refuses, and writes nothing.
        QVERIFY(QFile::remove(entry()));
        QVERIFY(QFile::remove(bin + QStringLiteral("/sirano")));
        r = run({"autostart", "on"}, cli);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("The tray program 'sirano' is neither beside sirano-cli"),
                 qPrintable(r.err));
        QVERIFY(!QFile::exists(entry()));

        // status of an entry whose program is gone warns.
        QCOMPARE(run({"autostart", "on"}).exitCode, 0);
        QByteArray stale = read(entry());
        stale.replace(QFileInfo(QStringLiteral(SIRANO_EXE)).canonicalFilePath().toUtf8(),
                      "/nowhere/sirano");
        QFile rewrite(entry());
        QVERIFY(rewrite.open(QIODevice::WriteOnly));
        rewrite.write(stale);
        rewrite.close();
        r = run({"autostart", "status"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains("starts /nowhere/sirano"));
        QVERIFY2(r.err.contains("/nowhere/sirano does not exist"), qPrintable(r.err));
        // The build's sirano-cli has a sirano to point it at; the copy without one does not, and
        // suggests what works for it.
        QVERIFY2(r.err.contains("'sirano-cli autostart on' points it at " +
                                QFileInfo(QStringLiteral(SIRANO_EXE)).canonicalFilePath()),
                 qPrintable(r.err));
        r = run({"autostart", "status"}, cli);
        QVERIFY2(r.err.contains("'sirano-cli autostart off' removes it") &&
                     !r.err.contains("'sirano-cli autostart on' points"),
                 qPrintable(r.err));
    }

    // The written entry, launched as a desktop launches it (GLib's gio), starts exactly the
    // program of that folder; a folder name with a control character is refused and nothing is
    // written (a line end would add an Exec line of its own).
    void launchedByTheDesktop_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("refused");
        QTest::newRow("spaces") << "my programs 2" << false;
        QTest::newRow("quotes") << "say \"hi\" 'there'" << false;
        QTest::newRow("dollar") << "$HOME ${PATH}" << false;
        QTest::newRow("backtick") << "`id`" << false;
        QTest::newRow("backslash") << "a\\b\\\\c\\" << false;
        QTest::newRow("percent") << "100% %f %%" << false;
        QTest::newRow("shell marks") << ";|&<>#*?~()=[]{}!" << false;
        QTest::newRow("non-ASCII") << "bänk 日本" << false;
        QTest::newRow("line end injecting an Exec line") << "nl\nExec=/bin/false\nX-Y=" << true;
        QTest::newRow("carriage return") << "cr\rx" << true;
        QTest::newRow("tab") << "tab\tx" << true;
    }
    void launchedByTheDesktop() {
        QFETCH(QString, folder);
        QFETCH(bool, refused);
        const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
        if (gio.isEmpty())
            QFAIL("gio is missing (scripts/install-deps installs libglib2.0-bin)");
        const QString bin = dir_.filePath(QStringLiteral("launch/") + folder);
        // The tray program's stand-in says where it ran from.
        const QString cli =
            install(bin, "#!/bin/sh\nprintf '%s' \"$0\" > \"$SIRANO_TEST_MARKER\"\n");
        QVERIFY(!cli.isEmpty());

        Result r = run({"autostart", "on"}, cli);
        if (refused) {
            QCOMPARE(r.exitCode, 1);
            QVERIFY2(r.err.contains("its path holds a control character"), qPrintable(r.err));
            QVERIFY(!QFile::exists(entry()));
            return;
        }
        QCOMPARE(r.exitCode, 0);
        validate(entry());
        r = run({"autostart", "status"}, cli);
        QCOMPARE(r.out,
                 QStringLiteral("autostart on: %1 starts %2/sirano (the installed program)\n")
                     .arg(entry(), bin));

        QCOMPARE(launched(gio), bin + QStringLiteral("/sirano"));
    }

    // With --data the entry starts the tray program on that data file (a synced folder), and the
    // desktop passes the path as one argument, whatever it holds.
    void startsWithTheDataFile() {
        const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
        if (gio.isEmpty())
            QFAIL("gio is missing (scripts/install-deps installs libglib2.0-bin)");
        const QString bin = dir_.filePath(QStringLiteral("with-data"));
        const QString cli =
            install(bin, "#!/bin/sh\nprintf '%s|' \"$@\" > \"$SIRANO_TEST_MARKER\"\n");
        QVERIFY(!cli.isEmpty());
        const QString data = dir_.filePath(QStringLiteral("Sync 100% \"x\"/SIRANO.DAT"));

        Result r = run({"autostart", "on", "--data", data}, cli);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(QStringLiteral("with the data file ") + data), qPrintable(r.out));
        validate(entry());
        r = run({"autostart", "status"}, cli);
        QVERIFY2(r.out.endsWith(QStringLiteral("with the data file ") + data + u'\n'),
                 qPrintable(r.out));

        QCOMPARE(launched(gio), QStringLiteral("--data|") + data + u'|');
        QCOMPARE(run({"autostart", "off", "--data", data}, cli).exitCode, 64);
    }

    void usage_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("help") << QStringList{"autostart", "--help"} << 0
                              << "Usage: sirano-cli autostart on [--data FILE] | off | status";
        QTest::newRow("nothing") << QStringList{"autostart"} << 64 << "say on, off or status";
        QTest::newRow("another word")
            << QStringList{"autostart", "maybe"} << 64 << "'maybe' is not on, off or status";
        QTest::newRow("two words")
            << QStringList{"autostart", "on", "off"} << 64 << "unexpected argument 'off'";
        QTest::newRow("an option")
            << QStringList{"autostart", "on", "--force"} << 64 << "unknown option '--force'";
    }
    void usage() {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const Result r = run(args);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2((exitCode == 0 ? r.out : r.err).contains(message), qPrintable(r.out + r.err));
        QVERIFY(!QFile::exists(entry()));
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"
