// The tray controller's logic on fakes of the tray icon, the menus and the modal windows:
// start-up decisions, log-in and log-out, the site menu rebuild, mouse messages and the commands.
#include "shell/TrayController.h"
#include "store/DataFile.h"
#include "support/Files.h"
#include "support/FixedClock.h"
#include "support/RecordingMessageBox.h"
#include "support/StoreFiles.h"

#include <sys/stat.h>
#include <QProcess>
#include <QScopeGuard>
#include <QtTest>
#include <cerrno>
#include <cstring>
#include <functional>

using namespace sirano;
using namespace sirano::test;
using sirano::test::RecordingMessageBox;

namespace {

const char* commandName(CommandItem item) {
    static const char* names[] = {"Memory", "Open", "LogInOut", "Password", "Version", "End"};
    return names[static_cast<int>(item)];
}

// Every fake writes to one log, so that tests see the order across them.
class FakeTray final : public TrayIcon {
public:
    QStringList& log;
    explicit FakeTray(QStringList& l) : log(l) {}
    static QString look(TrayLook l) { return l == TrayLook::LoggedIn ? "in" : "out"; }
    void add(TrayLook l) override { log << "tray add " + look(l); }
    void modifyIcon(TrayLook l) override { log << "icon " + look(l); }
    void remove() override { log << "tray remove"; }
};

class FakeMenus final : public Menus {
public:
    QStringList& log;
    QMap<int, QString> items{{0, QStringLiteral("SIRANO")}};  // by index; item 0 from design
    explicit FakeMenus(QStringList& l) : log(l) {}
    void setCaption(CommandItem item, const QString& caption) override {
        log << QStringLiteral("caption %1 %2").arg(commandName(item), caption);
    }
    void setEnabled(CommandItem item, bool enabled) override {
        log << QString::fromLatin1(enabled ? "enable " : "disable ") + commandName(item);
    }
    void setSiteCaption(int index, const QString& caption) override {
        log << QStringLiteral("site %1 %2").arg(index).arg(caption);
        QVERIFY(items.contains(index));
        items[index] = caption;
    }
    void createSiteItem(int index) override {
        log << QStringLiteral("create %1").arg(index);
        QVERIFY(index > items.lastKey());  // appended at the end
        items[index] = QString();
    }
    void destroySiteItem(int index) override {
        log << QStringLiteral("destroy %1").arg(index);
        QVERIFY(index >= 1 && items.contains(index));
        items.remove(index);
    }
    void setSitesEnabled(bool enabled) override { log << (enabled ? "sites on" : "sites off"); }
    QStringList site() const { return items.values(); }
    void popupSiteMenu() override { log << "popup site"; }
    void popupCommandMenu() override { log << "popup command"; }
};

class FakeUi final : public ShellUi {
public:
    QStringList& log;
    std::function<void()> onPrompt;
    explicit FakeUi(QStringList& l) : log(l) {}
    void showPasswordPrompt() override {
        log << "prompt";
        if (onPrompt)
            onPrompt();
    }
    void showSiteSettings() override { log << "site settings"; }
    void showPasswordSettings() override { log << "password settings"; }
    void quit(int status) override { log << QStringLiteral("quit %1").arg(status); }
};

const QStringList kLoginSteps = {"caption LogInOut ﾛｸﾞｱｳﾄ", "icon in",         "enable Open",
                                 "enable Memory",           "enable Password", "sites on"};
const QStringList kLogoutSteps = {"caption LogInOut ﾛｸﾞｲﾝ", "icon out",         "disable Open",
                                  "disable Memory",         "disable Password", "sites off"};

struct Harness {
    AppState state;
    QStringList log;
    FakeTray tray{log};
    FakeMenus menus{log};
    FakeUi ui{log};
    RecordingMessageBox boxes;
    FixedClock clock;
    NoKeyRing keyRing;
    TrayController controller{state, tray, menus, ui, boxes, clock, keyRing};
};

SiteEntry entry(const QString& title) {
    SiteEntry e;
    e.title = title;
    e.url = QStringLiteral("https://example.com/") + title;
    e.setField(
        0, SiteField{0, 1, QStringLiteral("password"), QStringLiteral("pw"), QStringLiteral("v")});
    return e;
}

// A data file in folder with the given titles and settings.
QString writeDataFile(const QString& folder, const QStringList& titles, const Settings& settings) {
    AppState s;
    for (const QString& t : titles)
        s.siteTable.append(entry(t));
    s.settings = settings;
    const QString path = QDir(folder).filePath(QLatin1String(kDataFileName));
    saveStore(s, path);
    return path;
}

// The English left in a message box: words of two or more ASCII letters, once the parts that may
// stay as they are (paths, the system's error, the program's name) are taken out.
QStringList englishWords(QString text, const QStringList& asGiven) {
    for (const QString& part : asGiven)
        text.remove(part);
    text.remove(QStringLiteral("SIRANO"));
    static const QRegularExpression word(QStringLiteral("[A-Za-z]{2,}"));
    QStringList words;
    for (auto it = word.globalMatch(text); it.hasNext();)
        words << it.next().captured();
    return words;
}

// Makes folder refuse new files, also to root (an immutable folder); false when it cannot.
bool makeReadOnly(const QString& folder) {
    ::chmod(QFile::encodeName(folder).constData(), 0555);
    QFile probe(QDir(folder).filePath(QStringLiteral("probe")));
    if (!probe.open(QIODevice::WriteOnly))
        return true;
    probe.remove();
    return QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), folder}) == 0 &&
           !probe.open(QIODevice::WriteOnly);
}

void makeWritable(const QString& folder) {
    QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), folder});
    ::chmod(QFile::encodeName(folder).constData(), 0755);
}

}  // namespace

class TestTrayController : public QObject {
    Q_OBJECT
    QTemporaryDir dataHome_;

private Q_SLOTS:
    void initTestCase() {
        // The per-user data folder of these tests.
        qputenv("XDG_DATA_HOME", dataHome_.path().toLocal8Bit());
    }

    void startWithoutDataFile() {
        QTemporaryDir exe;
        Harness h;
        h.controller.editorState().asterisk = false;
        QCOMPARE(h.controller.start(exe.path()), std::nullopt);

        QCOMPARE(h.log, QStringList{"tray add in"} + kLoginSteps + QStringList{"site 0 -"});
        QVERIFY(h.state.loggedIn);
        QCOMPARE(h.state.loginTime, QDateTime(QDate(2008, 6, 15), QTime(12, 34, 56)).toUTC());
        QVERIFY(h.controller.editorState().asterisk);
        QCOMPARE(h.state.dataFolder, dataHome_.filePath("sirano"));
        QCOMPARE(h.state.dataFilePath, dataHome_.filePath("sirano/SIRANO.DAT"));
        QVERIFY(!QFile::exists(h.state.dataFilePath));  // nothing is written at start
        QVERIFY(h.boxes.asked.isEmpty());
    }

    // --data FILE in a synced folder: the data file is that one; the lock (and with it the
    // browser profile and error.log) stays in a folder of this machine, private, keyed by the
    // path, so nothing of the kind travels with the data. A SIRANO that keeps its lock beside
    // the file is still seen.
    void startWithADataFileElsewhere() {
        QTemporaryDir exe;
        QTemporaryDir synced;
        const QString dataFile = synced.filePath(QStringLiteral("SIRANO.DAT"));
        {
            Harness h;
            QCOMPARE(h.controller.start(exe.path(), dataFile), std::nullopt);
            QCOMPARE(h.state.dataFilePath, dataFile);
            QVERIFY2(h.state.dataFolder.startsWith(dataHome_.filePath("sirano/elsewhere/")),
                     qPrintable(h.state.dataFolder));
            QVERIFY(QFile::exists(h.state.dataFolder + QStringLiteral("/sirano.lock")));
            QCOMPARE(QFileInfo(h.state.dataFolder).permissions() & 0x0077,
                     QFileDevice::Permissions());
            QCOMPARE(QDir(synced.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                     QStringList());
            h.controller.saveDataFile();
            QCOMPARE(QDir(synced.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                     QStringList{"SIRANO.DAT"});

            // A second copy on the same file is refused by the lock.
            Harness second;
            QCOMPARE(second.controller.start(exe.path(), dataFile), exitstatus::kAlreadyRunning);
        }
        const auto portable = DataFolderLock::tryAcquire(synced.path());
        QVERIFY(portable);
        Harness h;
        QCOMPARE(h.controller.start(exe.path(), dataFile), exitstatus::kAlreadyRunning);
    }

    // ﾛｸﾞｱｳﾄ keeps the log-in time; every log-in starts it again; log-in and log-out run all
    // their steps in either state.
    void logInAndOutTimes() {
        QTemporaryDir exe;
        Harness h;
        QCOMPARE(h.controller.start(exe.path()), std::nullopt);
        h.log.clear();
        h.clock.advance(90);
        h.controller.toggleLogin();
        QVERIFY(!h.state.loggedIn);
        QCOMPARE(h.state.loginTime, QDateTime(QDate(2008, 6, 15), QTime(12, 34, 56)).toUTC());
        QCOMPARE(h.log, kLogoutSteps);

        h.log.clear();
        h.controller.logout();
        h.controller.toggleLogin();  // no master password: logged in at once
        h.clock.at = QDateTime(QDate(2008, 6, 16), QTime(0, 0));
        h.controller.login();
        QCOMPARE(h.log, kLogoutSteps + kLoginSteps + kLoginSteps);
        QCOMPARE(h.state.loginTime, QDateTime(QDate(2008, 6, 16), QTime(0, 0)).toUTC());
    }

    void startWithDataFile_data() {
        QTest::addColumn<int>("autoLogin");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("promptLogsIn");
        QTest::addColumn<QStringList>("expected");

        const QStringList menu = {"site 0 A&B", "create 1", "site 1 -"};
        QTest::newRow("auto log-in")
            << 1 << "pw" << false << QStringList{"tray add in"} + kLoginSteps + menu;
        QTest::newRow("prompt, cancelled")
            << 0 << "pw" << false
            << QStringList{"tray add in"} + kLogoutSteps + QStringList{"prompt"} + menu;
        QTest::newRow("prompt, logged in") << 0 << "" << true
                                           << QStringList{"tray add in"} + kLogoutSteps +
                                                  QStringList{"prompt"} + kLoginSteps + menu;
    }
    void startWithDataFile() {
        QFETCH(int, autoLogin);
        QFETCH(QString, password);
        QFETCH(bool, promptLogsIn);
        QFETCH(QStringList, expected);

        QTemporaryDir exe;  // portable use: the data file beside the executable
        Settings settings{password, int16_t(autoLogin), 5};
        const QString path = writeDataFile(exe.path(), {"A&B", "-"}, settings);
        const QByteArray before = readAll(path);

        Harness h;
        h.ui.onPrompt = [&] {
            // Logged out before the prompt shows; the site menu is not yet built.
            QVERIFY(!h.state.loggedIn);
            QCOMPARE(h.menus.site(), QStringList{"SIRANO"});
            if (promptLogsIn)
                h.controller.login();
        };
        QCOMPARE(h.controller.start(exe.path()), std::nullopt);

        QCOMPARE(h.log, expected);
        QCOMPARE(h.state.loggedIn, autoLogin != 0 || promptLogsIn);
        QCOMPARE(h.state.settings, settings);
        QCOMPARE(h.state.siteTable.siteCount(), int16_t(2));
        QCOMPARE(h.state.dataFilePath, path);
        QCOMPARE(h.menus.site(), (QStringList{"A&B", "-"}));
        QCOMPARE(readAll(path), before);
    }

    // A folder or a named pipe where the data file belongs stops the start as a damaged file
    // does: nothing logged in, nothing replaced.
    void dataFileThatIsNoFile_data() {
        QTest::addColumn<bool>("pipe");
        QTest::newRow("folder") << false;
        QTest::newRow("named pipe") << true;
    }
    void dataFileThatIsNoFile() {
        QFETCH(bool, pipe);
        QTemporaryDir exe;
        const QString folder = dataHome_.filePath(QStringLiteral("sirano"));
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/SIRANO.DAT");
        if (pipe)
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            QVERIFY(QDir().mkdir(path));
        const auto cleanup = qScopeGuard([&] { QDir(folder).removeRecursively(); });

        Harness h;
        QCOMPARE(h.controller.start(exe.path()), exitstatus::kDataFileUnreadable);
        QCOMPARE(h.log, QStringList{"tray add in"});
        QVERIFY(!h.state.loggedIn);
        QCOMPARE(h.boxes.asked.size(), 1);
        QVERIFY2(h.boxes.asked.first().text.contains(QDir::toNativeSeparators(path)),
                 qPrintable(h.boxes.asked.first().text));
        QCOMPARE(QFileInfo(path).isDir(), !pipe);
    }

    void damagedDataFile_data() {
        QTest::addColumn<int>("cut");  // bytes dropped from the end, or -1: a broken number
        QTest::newRow("ends early") << 12;
        QTest::newRow("not a number") << -1;
    }
    void damagedDataFile() {
        QFETCH(int, cut);
        QTemporaryDir exe;
        const QString path = writeDataFile(exe.path(), {"one", "two"}, Settings{"pw", 1, 0});
        QByteArray bytes = readAll(path);
        if (cut > 0) {
            bytes.chop(cut);
        } else {
            const int lineEnd = bytes.indexOf("\r\n", bytes.indexOf("\r\n") + 2);
            bytes.insert(bytes.indexOf(",", lineEnd) + 1, "x");  // before the second field count
        }
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(bytes);
        }
        Generator gen;
        std::optional<LoadError> expected;
        try {
            parseDataFile(bytes, gen, path);
        } catch (const LoadError& e) {
            expected = e;
        }
        QVERIFY(expected && expected->line() > 0);

        Harness h;
        QCOMPARE(h.controller.start(exe.path()), exitstatus::kDataFileUnreadable);

        QCOMPARE(h.log, QStringList{"tray add in"});  // no log-in decision, no menu
        QCOMPARE(h.boxes.asked.size(), 1);
        const auto& box = h.boxes.asked.first();
        QCOMPARE(box.icon, QMessageBox::Critical);
        QVERIFY2(box.text.contains(path), qPrintable(box.text));
        QVERIFY2(box.text.contains(QStringLiteral("%1 行目").arg(expected->line())),
                 qPrintable(box.text));
        QVERIFY2(box.text.contains(expected->reasonText(Language::Japanese)), qPrintable(box.text));
        QCOMPARE(englishWords(box.text, {path, expected->reason().text}), QStringList());
        QCOMPARE(readAll(path), bytes);
        QVERIFY(!h.state.loggedIn);
    }

    void secondCopyRefused() {
        QTemporaryDir exe;
        const QString path = writeDataFile(exe.path(), {"one"}, Settings{"", 1, 0});
        const QByteArray before = readAll(path);
        Harness first;
        QCOMPARE(first.controller.start(exe.path()), std::nullopt);

        Harness second;
        QCOMPARE(second.controller.start(exe.path()), exitstatus::kAlreadyRunning);
        QCOMPARE(second.log, QStringList{"tray add in"});
        QCOMPARE(second.boxes.asked.size(), 1);
        const QString text = second.boxes.asked.first().text;
        QVERIFY2(text.contains(QStringLiteral("既に起動しています")), qPrintable(text));
        QVERIFY(text.contains(QDir::toNativeSeparators(exe.path())));
        QCOMPARE(readAll(path), before);
    }

    // A folder that refuses the lock file (read-only, a full disk) is no second copy: the box
    // says so with the reason, in Japanese, and the start ends as for an unusable folder.
    void lockFileCannotBeWritten() {
        QTemporaryDir exe;
        const QString path = writeDataFile(exe.path(), {"one"}, Settings{"", 1, 0});
        const QByteArray before = readAll(path);
        const bool readOnly = makeReadOnly(exe.path());
        std::optional<int> status;
        Harness h;
        if (readOnly)
            status = h.controller.start(exe.path());
        makeWritable(exe.path());
        if (!readOnly)
            QSKIP("this system cannot make a folder read-only for the test's user");

        QCOMPARE(status, exitstatus::kNoDataFolder);
        QCOMPARE(h.log, QStringList{"tray add in"});
        QCOMPARE(h.boxes.asked.size(), 1);
        const auto& box = h.boxes.asked.first();
        QCOMPARE(box.icon, QMessageBox::Critical);
        QVERIFY2(!box.text.contains(QStringLiteral("既に起動")), qPrintable(box.text));
        QVERIFY2(box.text.contains(QStringLiteral("ロックファイルを作成できません")),
                 qPrintable(box.text));
        const QString lockFile =
            QDir::toNativeSeparators(QDir(exe.path()).filePath(QLatin1String(kLockFileName)));
        QVERIFY2(box.text.contains(lockFile), qPrintable(box.text));
        // The system's reason, as the system words it.
        QStringList reasons;
        for (const int error : {EACCES, EPERM, EROFS})
            reasons << QString::fromLocal8Bit(std::strerror(error));
        QVERIFY2(std::any_of(reasons.begin(), reasons.end(),
                             [&](const QString& r) { return box.text.contains(r); }),
                 qPrintable(box.text));
        QCOMPARE(englishWords(box.text, QStringList{lockFile} + reasons), QStringList());
        QVERIFY(!h.state.loggedIn);
        QCOMPARE(readAll(path), before);
    }

    // A data folder that cannot be created: where and why, in Japanese but for the system's error.
    void dataFolderCannotBeCreated() {
        QTemporaryDir home;
        const QString notAFolder = home.filePath(QStringLiteral("file"));
        writeFile(notAFolder, {});
        QTemporaryDir exe;
        const QByteArray oldXdg = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(notAFolder));
        Harness h;
        const std::optional<int> status = h.controller.start(exe.path());
        qputenv("XDG_DATA_HOME", oldXdg);

        QCOMPARE(status, exitstatus::kNoDataFolder);
        QCOMPARE(h.log, QStringList{"tray add in"});
        QCOMPARE(h.boxes.asked.size(), 1);
        const QString text = h.boxes.asked.first().text;
        const QString folder = QDir::toNativeSeparators(notAFolder + QStringLiteral("/sirano"));
        const QString systemError = QString::fromLocal8Bit(std::strerror(ENOTDIR));
        QVERIFY2(text.contains(folder), qPrintable(text));
        QVERIFY2(text.contains(systemError), qPrintable(text));
        QCOMPARE(englishWords(text, {folder, systemError}), QStringList());
    }

    // Items are created and destroyed only at the end; every caption is rewritten.
    void menuRebuild() {
        Harness h;
        SiteTable& table = h.state.siteTable;
        h.controller.rebuildSiteMenu();
        QCOMPARE(h.log, QStringList{"site 0 -"});

        for (const char* t : {"a", "b&c", "-", "", "e"})
            table.append(entry(t));
        h.log.clear();
        h.controller.rebuildSiteMenu();
        QCOMPARE(h.log, (QStringList{"site 0 a", "create 1", "site 1 b&c", "create 2", "site 2 -",
                                     "create 3", "site 3 ", "create 4", "site 4 e"}));
        QCOMPARE(h.menus.site(), (QStringList{"a", "b&c", "-", "", "e"}));

        table.remove(0);
        table.setSiteCount(2);
        h.log.clear();
        h.controller.rebuildSiteMenu();
        QCOMPARE(h.log,
                 (QStringList{"site 0 b&c", "site 1 -", "destroy 2", "destroy 3", "destroy 4"}));

        table.setSiteCount(0);
        h.log.clear();
        h.controller.rebuildSiteMenu();
        QCOMPARE(h.log, (QStringList{"site 0 -", "site 0 -", "destroy 1"}));
        QCOMPARE(h.menus.site(), QStringList{"-"});
    }

    void trayClick_data() {
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<bool>("left");
        QTest::addColumn<QStringList>("expected");
        const QStringList site = {"popup site"};
        const QStringList command = {"popup command"};
        QTest::newRow("left, logged in") << true << true << site;
        QTest::newRow("left, logged out") << false << true << QStringList{};
        QTest::newRow("right, logged in") << true << false << command;
        QTest::newRow("right, logged out") << false << false << command;
    }
    void trayClick() {
        QFETCH(bool, loggedIn);
        QFETCH(bool, left);
        QFETCH(QStringList, expected);
        Harness h;
        h.state.loggedIn = loggedIn;
        h.controller.onTrayClick(left ? TrayClick::Left : TrayClick::Right);
        QCOMPARE(h.log, expected);
    }

    void commands_data() {
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("ﾛｸﾞｱｳﾄ") << true << "pw"
                                << "LogInOut" << kLogoutSteps;
        QTest::newRow("ﾛｸﾞｲﾝ, no password") << false << ""
                                            << "LogInOut" << kLoginSteps;
        QTest::newRow("ﾛｸﾞｲﾝ, password") << false << "pw"
                                         << "LogInOut" << QStringList{"prompt"};
        QTest::newRow("設定, logged in") << true << ""
                                         << "Open" << QStringList{"site settings"};
        QTest::newRow("設定, logged out") << false << ""
                                          << "Open" << QStringList{};
        QTest::newRow("ﾊﾟｽﾜｰﾄﾞ") << true << ""
                                 << "Password" << QStringList{"password settings"};
        QTest::newRow("終了") << true << ""
                              << "End" << QStringList{"tray remove", "quit 0"};
    }
    void commands() {
        QFETCH(bool, loggedIn);
        QFETCH(QString, password);
        QFETCH(QString, command);
        QFETCH(QStringList, expected);
        QTemporaryDir exe;
        Harness h;
        QCOMPARE(h.controller.start(exe.path()), std::nullopt);
        const QString dataFile = h.state.dataFilePath;
        h.state.loggedIn = loggedIn;
        h.state.settings.masterPassword = password;
        h.log.clear();

        if (command == "LogInOut")
            h.controller.toggleLogin();
        else if (command == "Open")
            h.controller.openSiteSettings();
        else if (command == "Password")
            h.controller.openPasswordSettings();
        else
            h.controller.quitProgram();
        QCOMPARE(h.log, expected);
        QVERIFY(h.boxes.asked.isEmpty());
        QVERIFY(!QFile::exists(dataFile));  // none of them saves

        h.log.clear();
        h.controller.removeIcon();  // the icon goes once
        QCOMPARE(h.log.contains("tray remove"), command != "End");
    }

    void aboutBox() {
        Harness h;
        h.controller.showVersion();
        QCOMPARE(h.boxes.asked.size(), 1);
        const auto& box = h.boxes.asked.first();
        QCOMPARE(box.icon, QMessageBox::Information);
        QCOMPARE(box.title, QStringLiteral("Information"));
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        const QStringList lines = box.text.split(QLatin1Char('\r'));
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], QStringLiteral("SIRANO Ver.1.3.0"));
        QVERIFY(lines[1].startsWith(QStringLiteral("Copyright")));
        QVERIFY(h.log.isEmpty());
    }

    void saveWritesTheDataFile() {
        QTemporaryDir dir;
        Harness h;
        h.state.dataFilePath = dir.filePath(QLatin1String(kDataFileName));
        h.state.siteTable.append(entry("one"));
        h.state.settings = Settings{"pw", 0, 3};
        h.controller.saveDataFile();
        AppState back;
        loadStore(back, h.state.dataFilePath);
        QCOMPARE(back.settings, h.state.settings);
        QCOMPARE(back.siteTable.at(0), h.state.siteTable.at(0));
    }
};

QTEST_GUILESS_MAIN(TestTrayController)
#include "tst_traycontroller.moc"
