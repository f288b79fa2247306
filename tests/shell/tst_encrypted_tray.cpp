// The tray program on an encrypted data file: the log-in reads the file with the password typed,
// and every log-out forgets the key, the table (zeroed in place) and the browser's copies of
// written values, so that a locked program holds no stored value.
#include "browser/FakeBrowser.h"
#include "keyring/KeyRing.h"
#include "login/EncryptedStore.h"
#include "shell/TrayApp.h"
#include "store/DataFile.h"
#include "support/DialogTestKit.h"
#include "support/Files.h"
#include "support/KeyringDesktop.h"
#include "support/Lent.h"
#include "support/RecordingMessageBox.h"

#include <fcntl.h>
#include <unistd.h>
#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace sirano;
using namespace sirano::test;

namespace {

const QString kUrl = QStringLiteral("https://site.example/login");
const QString kPassword = QStringLiteral("pw-of-the-file");
constexpr auto kNoTimer = std::chrono::hours(24);

QMenu* menuNamed(const QString& name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* menu = qobject_cast<QMenu*>(w); menu && menu->objectName() == name)
            return menu;
    }
    return nullptr;
}

QAction* command(const QString& name) {
    return menuNamed(QStringLiteral("commandMenu"))->findChild<QAction*>(name);
}

QStringList siteMenu() {
    QMenu* menu = menuNamed(QStringLiteral("siteMenu"));
    menu->popup(QPoint(0, 0));
    QStringList captions;
    for (const QAction* a : menu->actions())
        captions << (a->isSeparator() ? QStringLiteral("-") : a->text());
    menu->hide();
    return captions;
}

// Answers each password prompt that comes with the next of the passwords, then cancels.
class PromptAnswers : public QObject {
public:
    explicit PromptAnswers(QStringList passwords) : passwords_(std::move(passwords)) {
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, [this] {
            QWidget* w = QApplication::activeModalWidget();
            if (!w || w->objectName() != QLatin1String("passwordPrompt"))
                return;
            ++shown;
            if (passwords_.isEmpty()) {
                qobject_cast<QDialog*>(w)->reject();
                return;
            }
            auto* box = control<QLineEdit>(*w, QStringLiteral("passwordBox"));
            box->clear();
            typeText(box, passwords_.takeFirst());
            ++answered;
            click(*w, QStringLiteral("okButton"));
        });
        timer_.start();
    }
    int answered = 0;
    int shown = 0;

private:
    QStringList passwords_;
    QTimer timer_;
};

// An encrypted data file with one site in folder; autoLogin is inside it.
void writeStartFile(const QString& folder, bool autoLogin = true) {
    AppState stored;
    stored.settings.masterPassword = kPassword;
    stored.settings.autoLoginAtStart = autoLogin ? 1 : 0;
    SiteEntry e;
    e.title = QStringLiteral("Site");
    e.url = kUrl;
    e.setField(0, field(0, 0, "text", "user", "fill-user-Q7x"));
    e.setField(1, field(0, 1, "password", "pw", "fill-pass-K2m"));
    stored.siteTable.append(std::move(e));
    const DataFileKey key = DataFileKey::create(kPassword, {1, kMinKdfMemKiB});
    saveDataFile(QDir(folder).filePath(QStringLiteral("SIRANO.DAT")), stored.generator,
                 stored.siteTable, stored.settings, &key);
}

// The program started on the encrypted data file in folder (by default a new one with one site).
struct Program {
    QTemporaryDir ownFolder;
    QDir folder;
    AppState state;
    RecordingMessageBox messages;
    FixedClock clock;
    FakeBrowser browser;
    RecordingErrorLog log;
    QString browserFolder;
    std::unique_ptr<TrayApp> app;

    QString dataFile() const { return folder.filePath(QStringLiteral("SIRANO.DAT")); }

    // Without a keyring, the automatic log-in inside the file cannot count before the log-in.
    explicit Program(QString in = {}, std::shared_ptr<KeyRing> keyRing = nullptr)
        : folder(in.isEmpty() ? ownFolder.path() : in) {
        if (in.isEmpty())
            writeStartFile(folder.path());

        TrayServices services{
            messages,
            clock,
            [this](const QString& dataFolder) {
                browserFolder = dataFolder;
                return std::make_unique<LentBrowser>(browser);
            },
            [this](const QString&) { return std::make_unique<LentLog>(log); },
            [] { return TrayHost::XEmbed; },
            {},
            kNoTimer,
            {},
            std::chrono::milliseconds(50),
            std::move(keyRing),
        };
        app = std::make_unique<TrayApp>(state, folder.path(), std::move(services));
        app->start();
    }
    bool started() {
        return QTest::qWaitFor([this] { return !browserFolder.isEmpty(); }, 10000);
    }
    void chooseSite(int index) {
        QMenu* menu = menuNamed(QStringLiteral("siteMenu"));
        menu->popup(QPoint(0, 0));
        menu->actions().at(index)->trigger();
        menu->hide();
    }
    StoreContents fileContents() {
        Generator gen;
        DataFileAccess access{kPassword, std::nullopt};
        return loadDataFile(dataFile(), gen, &access);
    }
};

// A stretch of this process's memory, read through the kernel: the bytes stay readable for the
// check after the program freed them (an unmapped stretch reads as nothing).
struct Region {
    quintptr start;
    qsizetype size;
};

QByteArray memoryAt(const Region& r) {
    QByteArray bytes(r.size, '\0');
    const int fd = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    const ssize_t got = ::pread(fd, bytes.data(), size_t(r.size), off_t(r.start));
    ::close(fd);
    return got == r.size ? bytes : QByteArray();
}

Region regionOf(const QString& text) {
    return {quintptr(text.constData()), text.size() * qsizetype(sizeof(QChar))};
}

// Every buffer the tables and the settings hold texts in: those in use, and those of the file
// as last read or written.
QList<Region> tableBuffers(const AppState& state) {
    QList<Region> regions;
    for (const auto& [table, settings] :
         {std::pair{&state.siteTable, &state.settings},
          std::pair{&state.fileContents.siteTable, &state.fileContents.settings}}) {
        regions << regionOf(settings->masterPassword);
        for (int i = 0; i < table->siteCount(); ++i) {
            const SiteEntry& e = table->at(i);
            regions << regionOf(e.title) << regionOf(e.url) << regionOf(e.urlKeyword);
            const QByteArrayView texts = e.fieldTextStorage();
            regions << Region{quintptr(texts.data()), texts.size()};
        }
    }
    return regions;
}

// Another program (SIRANO on another machine) seals the file anew with password, renamed over.
void writeElsewhere(const QString& path, const QStringList& titles, const QString& password) {
    AppState other;
    other.settings.masterPassword = password;
    for (const QString& t : titles) {
        SiteEntry e;
        e.title = t;
        e.url = QStringLiteral("https://%1.example/").arg(t);
        e.setField(0, field(0, 0, "text", "user", t));
        other.siteTable.append(std::move(e));
    }
    const DataFileKey key = DataFileKey::create(password, {1, kMinKdfMemKiB});
    saveDataFile(path, other.generator, other.siteTable, other.settings, &key);
}

// Changes the password settings in the dialog from the command menu, keeping the password.
void changePasswordSettings(bool autoLogin, bool encrypt) {
    QTimer::singleShot(0, [autoLogin, encrypt] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        for (const char* box : {"currentPasswordBox", "newPasswordBox", "confirmPasswordBox"})
            typeText(control<QLineEdit>(*dialog, QLatin1String(box)), kPassword);
        control<QCheckBox>(*dialog, QStringLiteral("autoLoginCheck"))->setChecked(autoLogin);
        control<QCheckBox>(*dialog, QStringLiteral("encryptCheck"))->setChecked(encrypt);
        click(*dialog, QStringLiteral("changeButton"));
        if (dialog->isVisible())  // refused
            dialog->reject();
    });
    command(QStringLiteral("passwordSettingsAction"))->trigger();
}

QStringList titlesOf(const SiteTable& table) {
    QStringList titles;
    for (int i = 0; i < table.siteCount(); ++i)
        titles << table.at(i).title;
    return titles;
}

// The values found in any of the regions, in Latin-1 or UTF-16, in the order given.
QStringList valuesIn(const QList<Region>& regions, const QStringList& values) {
    QList<QByteArray> memory;
    for (const Region& r : regions)
        memory << memoryAt(r);
    QStringList found;
    for (const QString& v : values) {
        const QByteArray utf16(reinterpret_cast<const char*>(v.utf16()), v.size() * 2);
        for (const QByteArray& bytes : memory) {
            if (bytes.contains(v.toLatin1()) || bytes.contains(utf16)) {
                found << v;
                break;
            }
        }
    }
    return found;
}

}  // namespace

class TestEncryptedTray : public QObject {
    Q_OBJECT
    KeyringDesktop desktop_;

private Q_SLOTS:
    void initTestCase() {
        QString why;
        QVERIFY2(desktop_.startBus(&why), qPrintable(why));
    }

    // Without a keyring on the bus, the automatic log-in of an encrypted file is refused with
    // the reason, and nothing is changed.
    void automaticLogInNeedsAKeyring() {
        auto keyRing = std::make_shared<SecretServiceKeyRing>();
        QVERIFY(!keyRing->available());
        QVERIFY(keyRing->store(QStringLiteral("entry"), "secret"));
        PromptAnswers answers({kPassword});
        Program p({}, keyRing);
        QVERIFY(p.started());
        QVERIFY(p.state.loggedIn);
        const QByteArray before = readAll(p.dataFile());
        changePasswordSettings(true, true);
        QCOMPARE(p.messages.asked.size(), 1);
        QCOMPARE(p.messages.asked.first().title, QStringLiteral("起動時ｵｰﾄﾛｸﾞｲﾝ"));
        QVERIFY(p.messages.asked.first().text.contains(QLatin1String("Secret Service")));
        QCOMPARE(readAll(p.dataFile()), before);
        // Either one alone is taken.
        changePasswordSettings(true, false);
        QVERIFY(!readAll(p.dataFile()).startsWith("#SIRANO-ENCRYPTED\n"));
    }

    // With a real keyring: ticking the automatic log-in keeps the key there, and the next start
    // logs in with it and fills; turning encryption off removes it; a file whose own settings no
    // longer ask for the automatic log-in (changed on another machine) is asked for, and its
    // key removed.
    void keyKeptForTheAutomaticLogIn() {
        QString why;
        QVERIFY2(desktop_.startKeyring(&why), qPrintable(why));
        auto keyRing = std::make_shared<SecretServiceKeyRing>();
        QVERIFY(keyRing->available());
        QTemporaryDir folder;
        writeStartFile(folder.path(), false);
        const QString file = folder.filePath(QStringLiteral("SIRANO.DAT"));
        const QString entry = dataFileKeyEntry(file);
        {
            PromptAnswers answers({kPassword});
            Program p(folder.path(), keyRing);
            QVERIFY(p.started());
            QCOMPARE(answers.answered, 1);
            changePasswordSettings(true, true);
            QCOMPARE(p.messages.asked.size(), 1);  // the change is told, nothing else
            QVERIFY(keyRing->read(entry));
        }
        {
            PromptAnswers answers({});
            Program p(folder.path(), keyRing);
            QVERIFY(p.started());
            QCOMPARE(answers.shown, 0);
            QVERIFY(p.state.loggedIn);
            FakeWindow& page = p.browser.addWindow(kUrl, loginForms());
            p.chooseSite(0);
            QCOMPARE(page.element(0, 0).value, QStringLiteral("fill-user-Q7x"));
            changePasswordSettings(true, false);
            QVERIFY(!keyRing->read(entry));
            QVERIFY(!readAll(file).startsWith("#SIRANO-ENCRYPTED\n"));
            changePasswordSettings(true, true);
            QVERIFY(keyRing->read(entry));
        }
        // Sealed with the kept key, its own settings changed on another machine.
        const std::optional<DataFileKey> kept = DataFileKey::fromExported(*keyRing->read(entry));
        QVERIFY(kept);
        AppState other;
        other.settings.masterPassword = kPassword;
        saveDataFile(file, other.generator, other.siteTable, other.settings, &*kept);
        PromptAnswers answers({kPassword});
        Program p(folder.path(), keyRing);
        QVERIFY(p.started());
        QCOMPARE(answers.answered, 1);
        QVERIFY(p.state.loggedIn);
        QVERIFY(!keyRing->read(entry));
    }
    // Start-up asks before anything is read; a wrong password is told as always and reads
    // nothing; the right one reads the file.
    void logInReadsTheFile() {
        PromptAnswers answers({QStringLiteral("wrong"), kPassword});
        Program p;
        QVERIFY(p.started());
        QCOMPARE(answers.answered, 2);
        QCOMPARE(p.messages.asked.size(), 1);
        QCOMPARE(p.messages.asked.first().title, QStringLiteral("ﾊﾟｽﾜｰﾄﾞｴﾗｰ"));
        QCOMPARE(p.messages.asked.first().text, QStringLiteral("ﾊﾟｽﾜｰﾄﾞが違います。"));
        QVERIFY(p.state.loggedIn);
        QVERIFY(p.state.dataFileKey);
        QCOMPARE(p.state.settings.masterPassword, kPassword);
        QCOMPARE(siteMenu(), QStringList{QStringLiteral("Site")});
    }

    void cancelledAtStartHoldsNothing() {
        auto answers = std::make_unique<PromptAnswers>(QStringList{});
        Program p;
        QVERIFY(p.started());
        answers.reset();
        QVERIFY(!p.state.loggedIn);
        QCOMPARE(p.state.siteTable.siteCount(), 0);
        QCOMPARE(siteMenu(), QStringList{QStringLiteral("-")});
        // "ﾛｸﾞｲﾝ" asks, though no password is known before the file is read.
        PromptAnswers later({kPassword});
        command(QStringLiteral("logInOutAction"))->trigger();
        QCOMPARE(later.answered, 1);
        QVERIFY(p.state.loggedIn);
        QCOMPARE(p.state.siteTable.siteCount(), 1);
    }

    // A fill, a capture and a site-dialog edit, then a log-out: none of the stored values is
    // left in the buffers the table held them in, the key and the browser's copies are gone,
    // and the next log-in reads every change back from the file.
    void logOutForgetsEveryStoredValue() {
        auto answers = std::make_unique<PromptAnswers>(QStringList{kPassword});
        Program p;
        QVERIFY(p.started());
        answers.reset();
        QVERIFY(p.state.loggedIn);

        FakeWindow& page = p.browser.addWindow(kUrl, loginForms());
        p.chooseSite(0);
        QCOMPARE(page.element(0, 0).value, QStringLiteral("fill-user-Q7x"));
        p.browser.closeWindow(page);

        p.browser.addWindow(QStringLiteral("https://other.example/login"),
                            {{FakeElement::text("login", "capt-user-Z9w")}});
        command(QStringLiteral("captureAction"))->trigger();
        QCOMPARE(p.state.siteTable.siteCount(), 2);

        QTimer::singleShot(0, [] {
            QWidget* dialog = QApplication::activeModalWidget();
            QVERIFY(dialog);
            control<QListWidget>(*dialog, QStringLiteral("fieldList"))->setCurrentRow(1);
            control<QLineEdit>(*dialog, QStringLiteral("fieldValueBox"))
                ->setText(QStringLiteral("edit-pass-P4v"));
            click(*dialog, QStringLiteral("storeButton"));
        });
        command(QStringLiteral("siteSettingsAction"))->trigger();
        QCOMPARE(p.state.siteTable.at(0).fieldValue(1), QStringLiteral("edit-pass-P4v"));
        QVERIFY(readAll(p.dataFile()).startsWith("#SIRANO-ENCRYPTED\n"));

        // The field values, the password, and an address read from the file. (A captured page's
        // address shares its buffer with the browser's own copy of the page, which is the
        // browser's to keep.)
        const QStringList values{QStringLiteral("fill-user-Q7x"), QStringLiteral("capt-user-Z9w"),
                                 QStringLiteral("edit-pass-P4v"), kPassword,
                                 QStringLiteral("site.example")};
        const QList<Region> buffers = tableBuffers(p.state);
        QCOMPARE(valuesIn(buffers, values), values);  // the check sees them while they are there

        command(QStringLiteral("logInOutAction"))->trigger();
        QVERIFY(!p.state.loggedIn);
        QCOMPARE(valuesIn(buffers, values).join(u' '), QString());
        QVERIFY(!p.state.dataFileKey);
        QCOMPARE(p.state.siteTable.siteCount(), 0);
        QCOMPARE(p.state.settings, Settings{});
        QCOMPARE(p.browser.forgetCalls, 1);
        QCOMPARE(siteMenu(), QStringList{QStringLiteral("-")});

        // Logged out, nothing is filled and nothing can be saved over the file.
        FakeWindow& later = p.browser.addWindow(kUrl, loginForms());
        p.app->tick();
        QCOMPARE(later.element(0, 0).value, QString());

        PromptAnswers again({kPassword});
        command(QStringLiteral("logInOutAction"))->trigger();
        QVERIFY(p.state.loggedIn);
        QCOMPARE(p.state.siteTable.siteCount(), 2);
        QCOMPARE(p.state.siteTable.at(0).fieldValue(1), QStringLiteral("edit-pass-P4v"));
        QCOMPARE(p.state.siteTable.at(1).fieldValue(0), QStringLiteral("capt-user-Z9w"));
        QCOMPARE(siteMenu().size(), 2);
    }

    // Another program's changes to the encrypted file: sealed anew with the same password they
    // are read, and a save keeps them and stays encrypted; sealed with another password they
    // log the program out, holding nothing, and the file stays as the other program wrote it.
    void changesFromElsewhere() {
        PromptAnswers answers({kPassword});
        Program p;
        QVERIFY(p.started());
        QVERIFY(p.state.loggedIn);

        writeElsewhere(p.dataFile(), {"Site", "Two"}, kPassword);
        QVERIFY(QTest::qWaitFor([&] { return p.state.siteTable.siteCount() == 2; }, 5000));
        QCOMPARE(siteMenu(), (QStringList{"Site", "Two"}));

        // No event runs between this change and the capture: the save finds the file changed.
        p.browser.addWindow(QStringLiteral("https://new.example/login"),
                            {{FakeElement::text("user", "bob")}}, QStringLiteral("Captured"));
        writeElsewhere(p.dataFile(), {"Site", "Two", "Three"}, kPassword);
        command(QStringLiteral("captureAction"))->trigger();
        QCOMPARE(titlesOf(p.fileContents().siteTable),
                 (QStringList{"Site", "Two", "Three", "Captured"}));
        QVERIFY(readAll(p.dataFile()).startsWith("#SIRANO-ENCRYPTED\n"));
        QVERIFY(p.messages.asked.isEmpty());

        writeElsewhere(p.dataFile(), {"Site"}, QStringLiteral("another-password"));
        const QByteArray written = readAll(p.dataFile());
        QVERIFY(QTest::qWaitFor([&] { return !p.state.loggedIn; }, 5000));
        QVERIFY(!p.state.dataFileKey);
        QCOMPARE(p.state.siteTable.siteCount(), 0);
        QCOMPARE(p.state.fileContents.siteTable.siteCount(), 0);
        QCOMPARE(siteMenu(), QStringList{QStringLiteral("-")});
        QCOMPARE(readAll(p.dataFile()), written);
        QVERIFY(p.messages.asked.isEmpty());
    }

    // The automatic log-out forgets as the one from the menu does.
    void automaticLogOutForgetsToo() {
        PromptAnswers answers({kPassword});
        Program p;
        QVERIFY(p.started());
        p.state.settings.autoLogoutMinutes = 1;
        p.clock.advance(3 * 60);
        p.app->tick();
        QVERIFY(!p.state.loggedIn);
        QCOMPARE(p.state.siteTable.siteCount(), 0);
        QVERIFY(!p.state.dataFileKey);
        QCOMPARE(p.browser.forgetCalls, 1);
    }
};

QTEST_MAIN(TestEncryptedTray)
#include "tst_encrypted_tray.moc"
