// The password and log-in settings dialog, driven through its controls.
#include "login/PasswordSettingsDialog.h"
#include "support/DialogTestKit.h"
#include "support/RecordingMessageBox.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextLayout>
#include <QtTest>

using namespace sirano;
using namespace sirano::test;

namespace {

const QString kWrongTitle = QStringLiteral("ﾊﾟｽﾜｰﾄﾞｴﾗｰ");
const QString kMismatchTitle = QStringLiteral("ﾊﾟｽﾜｰﾄﾞ不一致");
const QString kMinutesTitle = QStringLiteral("ｵｰﾄﾛｸﾞｱｳﾄ");
const QString kDoneTitle = QStringLiteral("ﾊﾟｽﾜｰﾄﾞ変更");

struct Fixture {
    NoKeyRing keyRing;
    AppState state;
    RecordingActions actions;
    RecordingMessageBox messages;

    explicit Fixture(const Settings& settings = {}) {
        state.settings = settings;
        state.dataFilePath = QStringLiteral("/readonly/SIRANO.DAT");
    }
};

QStringList titles(const RecordingMessageBox& messages) {
    QStringList t;
    for (const AskedBox& box : messages.asked)
        t << box.title;
    return t;
}

// Whether each line of the text shows as one line in a real message box. Japanese text wraps
// between any two characters, so a wrapped line can split a word ("ｵｰﾄﾛ" | "ｸﾞｱｳﾄ").
bool showsUnwrapped(const AskedBox& asked) {
    QMessageBox box(asked.icon, asked.title, asked.text, asked.buttons);
    box.show();
    const auto* label = control<QLabel>(box, "qt_msgbox_label");
    for (const QString& line : asked.text.split(u'\n')) {
        QTextLayout layout(line, label->font());
        layout.beginLayout();
        int lines = 0;
        for (QTextLine l = layout.createLine(); l.isValid(); l = layout.createLine()) {
            l.setLineWidth(label->contentsRect().width());
            ++lines;
        }
        layout.endLayout();
        if (lines > 1)
            return false;
    }
    return true;
}

}  // namespace

class TestPasswordSettings : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void window();
    void showsStoredSettings_data();
    void showsStoredSettings();
    void autoLoginKeepsItsMeaning_data();
    void autoLoginKeepsItsMeaning();
    void change_data();
    void change();
    void changeMessages();
    void cancelAfterFailedAttempt();
    void minutesBoxHoldsThreeCharacters();
    void enterMovesDownThenPresses();
    void tabOrder();
    void failedSaveIsReportedAndKept();
    void passwordsThatCannotComeBack_data();
    void passwordsThatCannotComeBack();
    void minutesFromText_data();
    void minutesFromText();
};

void TestPasswordSettings::window() {
    Fixture f;
    PasswordSettingsDialog dialog(f.state, f.actions, f.messages, f.keyRing);
    QCOMPARE(dialog.objectName(), QStringLiteral("passwordSettingsDialog"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("ﾊﾟｽﾜｰﾄﾞ変更"));
    QCOMPARE(dialog.size(), QSize(312, 206));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    const QRect client = dialog.rect();
    for (const QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        QVERIFY2(client.contains(child->geometry()), qPrintable(child->objectName()));
    QCOMPARE(control<QCheckBox>(dialog, "autoLoginCheck")->text(),
             QStringLiteral("起動時ｵｰﾄﾛｸﾞｲﾝ"));
    QCOMPARE(control<QPushButton>(dialog, "changeButton")->text(), QStringLiteral("変更"));
    QCOMPARE(control<QPushButton>(dialog, "cancelButton")->text(), QStringLiteral("ｷｬﾝｾﾙ"));
    for (const char* box : {"currentPasswordBox", "newPasswordBox", "confirmPasswordBox"}) {
        QCOMPARE(control<QLineEdit>(dialog, box)->echoMode(), QLineEdit::Password);
        QVERIFY(control<QLineEdit>(dialog, box)->text().isEmpty());
    }
}

void TestPasswordSettings::showsStoredSettings_data() {
    QTest::addColumn<int>("autoLogin");
    QTest::addColumn<int>("minutes");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("minutesBox");
    QTest::newRow("defaults") << 0 << 0 << false << "0";
    QTest::newRow("auto log-in, 5 minutes") << 1 << 5 << true << "5";
    QTest::newRow("three digits") << 0 << 999 << false << "999";
    QTest::newRow("negative from an old file") << 0 << -5 << false << "-5";
    QTest::newRow("auto log-in 2 from a file") << 2 << 0 << true << "0";
    QTest::newRow("auto log-in 9 from a file") << 9 << 0 << true << "0";
}

void TestPasswordSettings::showsStoredSettings() {
    QFETCH(int, autoLogin);
    QFETCH(int, minutes);
    Fixture f(
        {QStringLiteral("pw"), static_cast<int16_t>(autoLogin), static_cast<int16_t>(minutes)});
    PasswordSettingsDialog dialog(f.state, f.actions, f.messages, f.keyRing);
    QTEST(control<QCheckBox>(dialog, "autoLoginCheck")->isChecked(), "checked");
    QTEST(control<QLineEdit>(dialog, "minutesBox")->text(), "minutesBox");
}

// A change that leaves the tick alone leaves automatic log-in on or off as it was, whatever
// non-zero value the file held.
void TestPasswordSettings::autoLoginKeepsItsMeaning_data() {
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("after");
    QTest::newRow("off") << 0 << 0;
    QTest::newRow("on") << 1 << 1;
    QTest::newRow("2 is on") << 2 << 1;
    QTest::newRow("9 is on") << 9 << 1;
}

void TestPasswordSettings::autoLoginKeepsItsMeaning() {
    QFETCH(int, stored);
    Fixture f({QStringLiteral("pw"), static_cast<int16_t>(stored), 5});
    PasswordSettingsDialog dialog(f.state, f.actions, f.messages, f.keyRing);
    dialog.show();
    typeText(control<QLineEdit>(dialog, "currentPasswordBox"), QStringLiteral("pw"));
    typeText(control<QLineEdit>(dialog, "newPasswordBox"), QStringLiteral("pw"));
    typeText(control<QLineEdit>(dialog, "confirmPasswordBox"), QStringLiteral("pw"));
    click(dialog, "changeButton");
    QCOMPARE(titles(f.messages), QStringList{kDoneTitle});
    QTEST(int(f.state.settings.autoLoginAtStart), "after");
}

// One press on "変更" with the boxes as typed: either everything changes and is saved, or
// nothing does and the first failed check is reported.
void TestPasswordSettings::change_data() {
    QTest::addColumn<QString>("master");
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("new0");
    QTest::addColumn<QString>("new1");
    QTest::addColumn<QString>("minutes");
    QTest::addColumn<bool>("tick");
    QTest::addColumn<QString>("refusal");  // title of the refusing box; empty: accepted
    QTest::addColumn<int>("storedMinutes");

    const QString none;
    // clang-format off
    QTest::newRow("no password set: empty current passes") << "" << "" << "new" << "new" << "5" << true << none << 5;
    QTest::newRow("change password, keep settings") << "Secret" << "Secret" << "Other" << "Other" << "0" << false << none << 0;
    QTest::newRow("empty new password removes it") << "Secret" << "Secret" << "" << "" << "30" << false << none << 30;
    QTest::newRow("wrong current password") << "Secret" << "secret" << "x" << "x" << "5" << true << kWrongTitle << 0;
    QTest::newRow("empty current with a password set") << "Secret" << "" << "" << "" << "5" << true << kWrongTitle << 0;
    QTest::newRow("current checked before the new ones") << "Secret" << "bad" << "a" << "b" << "5" << true << kWrongTitle << 0;
    QTest::newRow("new passwords differ") << "Secret" << "Secret" << "a" << "b" << "5" << true << kMismatchTitle << 0;
    QTest::newRow("new passwords differ in case") << "Secret" << "Secret" << "New" << "new" << "5" << true << kMismatchTitle << 0;
    QTest::newRow("mismatch checked before minutes") << "" << "" << "a" << "b" << "-1" << true << kMismatchTitle << 0;
    QTest::newRow("wrong password before minutes") << "Secret" << "x" << "a" << "a" << "1E2" << true << kWrongTitle << 0;
    QTest::newRow("minus one") << "" << "" << "a" << "a" << "-1" << true << kMinutesTitle << 0;
    QTest::newRow("minus zero") << "" << "" << "a" << "a" << "-0" << true << kMinutesTitle << 0;
    QTest::newRow("exponent 1E2") << "" << "" << "a" << "a" << "1E2" << true << kMinutesTitle << 0;
    QTest::newRow("exponent 9e9") << "" << "" << "a" << "a" << "9e9" << true << kMinutesTitle << 0;
    QTest::newRow("leading zeros dropped") << "" << "" << "a" << "a" << "012" << true << none << 12;
    QTest::newRow("full-width digits") << "" << "" << "a" << "a" << "３０" << true << none << 30;
    QTest::newRow("a typo is no zero") << "" << "" << "a" << "a" << "abc" << true << kMinutesTitle << 0;
    QTest::newRow("trailing letter") << "" << "" << "a" << "a" << "5x" << true << kMinutesTitle << 0;
    QTest::newRow("decimal point") << "" << "" << "a" << "a" << "2.5" << true << kMinutesTitle << 0;
    QTest::newRow("empty box") << "" << "" << "a" << "a" << "" << true << kMinutesTitle << 0;
    QTest::newRow("hexadecimal") << "" << "" << "a" << "a" << "&HF" << true << kMinutesTitle << 0;
    QTest::newRow("Japanese password") << "" << "" << "秘密ﾊﾟｽ" << "秘密ﾊﾟｽ" << "999" << true << none << 999;
    // clang-format on
}

void TestPasswordSettings::change() {
    QFETCH(QString, master);
    QFETCH(QString, current);
    QFETCH(QString, new0);
    QFETCH(QString, new1);
    QFETCH(QString, minutes);
    QFETCH(bool, tick);
    QFETCH(QString, refusal);
    QFETCH(int, storedMinutes);

    const Settings before{master, 0, 0};
    Fixture f(before);
    Settings atSave;
    f.actions.onSave = [&] { atSave = f.state.settings; };
    PasswordSettingsDialog dialog(f.state, f.actions, f.messages, f.keyRing);
    dialog.show();
    typeText(control<QLineEdit>(dialog, "currentPasswordBox"), current);
    typeText(control<QLineEdit>(dialog, "newPasswordBox"), new0);
    typeText(control<QLineEdit>(dialog, "confirmPasswordBox"), new1);
    control<QLineEdit>(dialog, "minutesBox")->clear();
    typeText(control<QLineEdit>(dialog, "minutesBox"), minutes);
    control<QCheckBox>(dialog, "autoLoginCheck")->setChecked(tick);
    click(dialog, "changeButton");

    if (!refusal.isEmpty()) {
        QCOMPARE(titles(f.messages), QStringList{refusal});
        QCOMPARE(f.messages.asked.first().icon, QMessageBox::Critical);
        QCOMPARE(f.state.settings, before);
        QVERIFY(f.actions.calls.isEmpty());
        QVERIFY(dialog.isVisible());
        return;
    }
    const Settings expected{new0, static_cast<int16_t>(tick ? 1 : 0),
                            static_cast<int16_t>(storedMinutes)};
    QCOMPARE(f.state.settings, expected);
    QCOMPARE(atSave, expected);  // saved after every setting was taken
    QCOMPARE(f.actions.calls, QStringList{QStringLiteral("save")});
    QCOMPARE(titles(f.messages), QStringList{kDoneTitle});
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

// The wording of every box the dialog shows.
void TestPasswordSettings::changeMessages() {
    Fixture f({QStringLiteral("pw"), 0, 0});
    PasswordSettingsDialog dialog(f.state, f.actions, f.messages, f.keyRing);
    dialog.show();
    click(dialog, "changeButton");  // empty current password: wrong
    typeText(control<QLineEdit>(dialog, "currentPasswordBox"), QStringLiteral("pw"));
    typeText(control<QLineEdit>(dialog, "newPasswordBox"), QStringLiteral("a"));
    click(dialog, "changeButton");  // mismatch
    typeText(control<QLineEdit>(dialog, "confirmPasswordBox"), QStringLiteral("a"));
    control<QLineEdit>(dialog, "minutesBox")->setText(QStringLiteral("-1"));
    click(dialog, "changeButton");  // minutes refused
    QCOMPARE(dialog.focusWidget(), control<QLineEdit>(dialog, "minutesBox"));
    control<QLineEdit>(dialog, "minutesBox")->setText(QStringLiteral("5"));
    click(dialog, "changeButton");

    QCOMPARE(f.messages.asked.size(), 4);
    const AskedBox& wrong = f.messages.asked[0];
    QCOMPARE(wrong.text, QStringLiteral("ﾊﾟｽﾜｰﾄﾞが違います。"));
    QCOMPARE(wrong.title, kWrongTitle);
    QCOMPARE(wrong.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    const AskedBox& mismatch = f.messages.asked[1];
    QCOMPARE(mismatch.text, QStringLiteral("新しいﾊﾟｽﾜｰﾄﾞと確認用ﾊﾟｽﾜｰﾄﾞが違います。"));
    QCOMPARE(mismatch.icon, QMessageBox::Critical);
    const AskedBox& minutes = f.messages.asked[2];
    QVERIFY2(minutes.text.contains(QStringLiteral("0 から 999")), qPrintable(minutes.text));
    QCOMPARE(minutes.icon, QMessageBox::Critical);
    const AskedBox& done = f.messages.asked[3];
    QCOMPARE(done.text, QStringLiteral("ﾊﾟｽﾜｰﾄﾞおよび設定が変更されました。"));
    QCOMPARE(done.title, kDoneTitle);
    QCOMPARE(done.icon, QMessageBox::Warning);  // the exclamation icon
    QCOMPARE(done.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(f.state.settings, (Settings{QStringLiteral("a"), 0, 5}));
    for (const AskedBox& box : f.messages.asked)
        QVERIFY2(showsUnwrapped(box), qPrintable(box.text));
}

void TestPasswordSettings::cancelAfterFailedAttempt() {
    const Settings before{QStringLiteral("pw"), 1, 10};
    Fixture f(before);
    PasswordSettingsDialog dialog(f.state, f.actions, f.messages, f.keyRing);
    dialog.show();
    typeText(control<QLineEdit>(dialog, "currentPasswordBox"), QStringLiteral("PW"));
    typeText(control<QLineEdit>(dialog, "newPasswordBox"), QStringLiteral("new"));
    typeText(control<QLineEdit>(dialog, "confirmPasswordBox"), QStringLiteral("new"));
    control<QCheckBox>(dialog, "autoLoginCheck")->setChecked(false);
    click(dialog, "changeButton");
    QCOMPARE(control<QLineEdit>(dialog, "currentPasswordBox")->text(),
             QStringLiteral("PW"));  // kept as typed
    click(dialog, "cancelButton");
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(f.state.settings, before);
    QVERIFY(f.actions.calls.isEmpty());
}

void TestPasswordSettings::minutesBoxHoldsThreeCharacters() {
    Fixture f;
    PasswordSettingsDialog dialog(f.state, f.actions, f.messages, f.keyRing);
    auto* minutesBox = control<QLineEdit>(dialog, "minutesBox");
    minutesBox->clear();
    typeText(minutesBox, QStringLiteral("1234"));
    QCOMPARE(minutesBox->text(), QStringLiteral("123"));
}

// Enter walks the current, new and confirming password boxes to "変更" without pressing it; one
// more Enter presses it. Enter elsewhere in a box presses nothing.
void TestPasswordSettings::enterMovesDownThenPresses() {
    Fixture f;
    PasswordSettingsDialog dialog(f.state, f.actions, f.messages, f.keyRing);
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(dialog.focusWidget(), control<QLineEdit>(dialog, "currentPasswordBox"));

    auto* minutesBox = control<QLineEdit>(dialog, "minutesBox");
    minutesBox->setFocus();
    QTest::keyClick(minutesBox, Qt::Key_Return);
    QCOMPARE(dialog.focusWidget(), minutesBox);
    QVERIFY(f.actions.calls.isEmpty());
    control<QLineEdit>(dialog, "currentPasswordBox")->setFocus();

    QStringList path;
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(dialog.focusWidget(), i == 1 ? Qt::Key_Enter : Qt::Key_Return);
        path << dialog.focusWidget()->objectName();
    }
    QCOMPARE(path, (QStringList{"newPasswordBox", "confirmPasswordBox", "changeButton"}));
    QVERIFY(f.messages.asked.isEmpty());
    QTest::keyClick(dialog.focusWidget(), Qt::Key_Return);
    QCOMPARE(titles(f.messages), QStringList{kDoneTitle});
    QCOMPARE(f.actions.calls, QStringList{"save"});
}

void TestPasswordSettings::tabOrder() {
    Fixture f;
    PasswordSettingsDialog dialog(f.state, f.actions, f.messages, f.keyRing);
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QStringList order{dialog.focusWidget()->objectName()};
    for (int i = 0; i < 7; ++i) {
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Tab);
        order << dialog.focusWidget()->objectName();
    }
    QCOMPARE(order, (QStringList{"currentPasswordBox", "newPasswordBox", "confirmPasswordBox",
                                 "changeButton", "cancelButton", "minutesBox", "autoLoginCheck",
                                 "currentPasswordBox"}));
}

// A save that fails leaves the new settings in memory, says which file and why, and claims no
// success.
void TestPasswordSettings::failedSaveIsReportedAndKept() {
    Fixture f;
    f.actions.saveFailure = err::kPathFileAccess;
    PasswordSettingsDialog dialog(f.state, f.actions, f.messages, f.keyRing);
    dialog.show();
    typeText(control<QLineEdit>(dialog, "newPasswordBox"), QStringLiteral("new"));
    typeText(control<QLineEdit>(dialog, "confirmPasswordBox"), QStringLiteral("new"));
    click(dialog, "changeButton");
    QCOMPARE(f.messages.asked.size(), 1);
    const AskedBox& box = f.messages.asked.first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY2(box.text.contains(QStringLiteral("/readonly/SIRANO.DAT")), qPrintable(box.text));
    QVERIFY2(box.text.contains(QStringLiteral("Permission denied")), qPrintable(box.text));
    // Spelt as in the tray program's messages about the data file.
    QVERIFY2(box.text.startsWith(QStringLiteral("データファイル")), qPrintable(box.text));
    QCOMPARE(f.state.settings.masterPassword, QStringLiteral("new"));
    QVERIFY(!dialog.isVisible());
}

// A new password that no prompt can take back (a line end, pasted) or that the data file reads
// back as none is refused before anything changes; near misses are ordinary passwords.
void TestPasswordSettings::passwordsThatCannotComeBack_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("refusal");  // part of the message; empty: accepted
    const QString lineEnd = QStringLiteral("改行");
    const QString marker = QStringLiteral("「Blank Passphrase!」");
    QTest::newRow("line feed inside") << QStringLiteral("pass\nword") << lineEnd;
    QTest::newRow("CR LF at the end") << QStringLiteral("password\r\n") << lineEnd;
    QTest::newRow("CR alone") << QStringLiteral("\r") << lineEnd;
    QTest::newRow("the empty-password marker") << QStringLiteral("Blank Passphrase!") << marker;
    QTest::newRow("marker in other case") << QStringLiteral("blank passphrase!") << QString();
    QTest::newRow("marker without its mark") << QStringLiteral("Blank Passphrase") << QString();
    QTest::newRow("marker with a blank after") << QStringLiteral("Blank Passphrase! ") << QString();
}

void TestPasswordSettings::passwordsThatCannotComeBack() {
    QFETCH(QString, password);
    QFETCH(QString, refusal);
    const Settings before{QStringLiteral("old"), 1, 10};
    Fixture f(before);
    PasswordSettingsDialog dialog(f.state, f.actions, f.messages, f.keyRing);
    dialog.show();
    typeText(control<QLineEdit>(dialog, "currentPasswordBox"), QStringLiteral("old"));
    control<QLineEdit>(dialog, "newPasswordBox")->setText(password);  // as pasted
    control<QLineEdit>(dialog, "confirmPasswordBox")->setText(password);
    click(dialog, "changeButton");
    if (refusal.isEmpty()) {
        QCOMPARE(f.state.settings.masterPassword, password);
        QCOMPARE(f.actions.calls, QStringList{QStringLiteral("save")});
        return;
    }
    QCOMPARE(f.messages.asked.size(), 1);
    const AskedBox& box = f.messages.asked.first();
    QCOMPARE(box.title, kWrongTitle);
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY2(box.text.contains(refusal), qPrintable(box.text));
    QCOMPARE(f.state.settings, before);
    QVERIFY(f.actions.calls.isEmpty());
    QVERIFY(dialog.isVisible());
}

void TestPasswordSettings::minutesFromText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("minutes");  // -1: refused
    QTest::newRow("plain") << "5" << 5;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("the top") << "999" << 999;
    QTest::newRow("leading zeros") << "007" << 7;
    QTest::newRow("blanks around") << "  7 " << 7;
    QTest::newRow("full width") << "９９９" << 999;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("blanks only") << "   " << -1;
    QTest::newRow("trailing letters") << "12a" << -1;
    QTest::newRow("no number") << "abc" << -1;
    QTest::newRow("blank inside") << "1 2" << -1;
    QTest::newRow("plus sign") << "+5" << -1;
    QTest::newRow("decimal") << "998.5" << -1;
    QTest::newRow("too large") << "1000" << -1;
    QTest::newRow("leading zeros, too large") << "0001000" << -1;
    QTest::newRow("beyond 16 bits") << "70000" << -1;
    QTest::newRow("minus inside") << "1-2" << -1;
    QTest::newRow("exponent with sign") << "1e+2" << -1;
    QTest::newRow("E without digits") << "1E" << -1;
    QTest::newRow("hexadecimal") << "&HE" << -1;
    QTest::newRow("other digits") << "٣" << -1;
}

void TestPasswordSettings::minutesFromText() {
    QFETCH(QString, text);
    QFETCH(int, minutes);
    const std::optional<int16_t> got = autoLogoutMinutesFromText(text);
    QCOMPARE(got ? int(*got) : -1, minutes);
}

QTEST_MAIN(TestPasswordSettings)
#include "tst_password_settings.moc"
