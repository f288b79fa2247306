// The password prompt as a real widget: its layout, and OK, Enter and cancel in both modes.
#include "login/PasswordPrompt.h"
#include "support/RecordingActions.h"
#include "support/RecordingMessageBox.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QtTest>

using namespace sirano;
using sirano::test::RecordingActions;
using sirano::test::RecordingMessageBox;

namespace {

// QTest::keyClicks aborts on text beyond Latin-1.
void type(QWidget* w, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &press);
    }
}

struct Prompt {
    AppState state;
    RecordingActions actions{state};
    RecordingMessageBox boxes;
    PasswordPrompt dialog;
    QLineEdit* passwordBox;
    QPushButton* okButton;
    QPushButton* cancelButton;

    Prompt(const QString& master, int16_t mode) : dialog(state, actions, boxes, mode) {
        state.settings.masterPassword = master;
        passwordBox = dialog.findChild<QLineEdit*>("passwordBox");
        okButton = dialog.findChild<QPushButton*>("okButton");
        cancelButton = dialog.findChild<QPushButton*>("cancelButton");
        dialog.show();
    }
};

}  // namespace

class TestPrompt : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void layout() {
        Prompt p(QString(), PasswordPrompt::LogIn);
        QCOMPARE(p.dialog.objectName(), QStringLiteral("passwordPrompt"));
        QCOMPARE(p.dialog.windowTitle(), QStringLiteral("ﾊﾟｽﾜｰﾄﾞ確認"));
        QCOMPARE(p.dialog.size(), QSize(312, 96));

        auto* passwordLabel = p.dialog.findChild<QLabel*>("passwordLabel");
        QVERIFY(passwordLabel && p.passwordBox && p.okButton && p.cancelButton);
        QCOMPARE(passwordLabel->text(), QStringLiteral("ﾊﾟｽﾜｰﾄﾞ:"));
        QCOMPARE(passwordLabel->geometry(), QRect(8, 8, 97, 17));
        QCOMPARE(p.passwordBox->geometry(), QRect(8, 24, 297, 18));
        QCOMPARE(p.okButton->geometry(), QRect(152, 56, 73, 33));
        QCOMPARE(p.cancelButton->geometry(), QRect(232, 56, 73, 33));
        QCOMPARE(p.okButton->text(), QStringLiteral("OK"));
        QCOMPARE(p.cancelButton->text(), QStringLiteral("ｷｬﾝｾﾙ"));

        QVERIFY(p.passwordBox->text().isEmpty());
        QCOMPARE(p.passwordBox->echoMode(), QLineEdit::Password);
        QCOMPARE(p.passwordBox->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr,
                                                   p.passwordBox),
                 int('*'));
        QVERIFY(!p.passwordBox->testAttribute(Qt::WA_InputMethodEnabled));
        for (QPushButton* b : {p.okButton, p.cancelButton})
            QVERIFY(!b->isDefault() && !b->autoDefault());
        // Tab order: the box, "ｷｬﾝｾﾙ", "OK".
        QCOMPARE(p.passwordBox->nextInFocusChain(), p.cancelButton);
        QCOMPARE(p.cancelButton->nextInFocusChain(), p.okButton);
    }

    void confirm_data() {
        QTest::addColumn<QString>("master");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("byEnter");
        QTest::addColumn<bool>("right");

        QTest::newRow("log in, OK") << "secret"
                                    << "secret" << 0 << false << true;
        QTest::newRow("log in, Enter") << "secret"
                                       << "secret" << 0 << true << true;
        QTest::newRow("reveal, OK") << "secret"
                                    << "secret" << 1 << false << true;
        QTest::newRow("reveal, Enter") << "secret"
                                       << "secret" << 1 << true << true;
        QTest::newRow("unknown mode") << "secret"
                                      << "secret" << 7 << false << true;
        QTest::newRow("no password, empty box") << ""
                                                << "" << 0 << true << true;
        QTest::newRow("Japanese") << "ﾊﾟｽ漢字"
                                  << "ﾊﾟｽ漢字" << 0 << false << true;
        QTest::newRow("case differs") << "Secret"
                                      << "secret" << 0 << false << false;
        QTest::newRow("case differs, Enter") << "Secret"
                                             << "secret" << 0 << true << false;
        QTest::newRow("prefix") << "secret"
                                << "secre" << 0 << false << false;
        QTest::newRow("empty box") << "secret"
                                   << "" << 1 << true << false;
        QTest::newRow("typed, none set") << ""
                                         << "x" << 0 << false << false;
    }
    void confirm() {
        QFETCH(QString, master);
        QFETCH(QString, typed);
        QFETCH(int, mode);
        QFETCH(bool, byEnter);
        QFETCH(bool, right);

        Prompt p(master, int16_t(mode));
        p.state.loginTime = QDateTime(QDate(2008, 6, 15), QTime(12, 34, 56)).toUTC();
        type(p.passwordBox, typed);
        QCOMPARE(p.passwordBox->text(), typed);
        if (byEnter)
            QTest::keyClick(p.passwordBox, Qt::Key_Return);
        else
            p.okButton->click();

        if (right) {
            QVERIFY(p.boxes.asked.isEmpty());
            QVERIFY(!p.dialog.isVisible());
            QCOMPARE(p.dialog.result(), int(QDialog::Accepted));
            QCOMPARE(p.actions.calls, mode == 0 ? QStringList{"login"} : QStringList{});
        } else {
            QCOMPARE(p.boxes.asked.size(), 1);
            const auto& box = p.boxes.asked.first();
            QCOMPARE(box.icon, QMessageBox::Critical);
            QCOMPARE(box.title, QStringLiteral("ﾊﾟｽﾜｰﾄﾞｴﾗｰ"));
            QCOMPARE(box.text, QStringLiteral("ﾊﾟｽﾜｰﾄﾞが違います。"));
            QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            QVERIFY(p.dialog.isVisible());
            QCOMPARE(p.passwordBox->text(), typed);
            QVERIFY(p.actions.calls.isEmpty());
        }
        QCOMPARE(p.state.loginTime, QDateTime(QDate(2008, 6, 15), QTime(12, 34, 56)).toUTC());
    }

    void wrongThenRight() {
        Prompt p(QStringLiteral("pw"), PasswordPrompt::LogIn);
        type(p.passwordBox, QStringLiteral("PW"));
        QTest::keyClick(p.passwordBox, Qt::Key_Return);
        QTest::keyClick(p.passwordBox, Qt::Key_Return);
        QCOMPARE(p.boxes.asked.size(), 2);  // no limit, no delay
        p.passwordBox->clear();
        type(p.passwordBox, QStringLiteral("pw"));
        p.okButton->click();
        QCOMPARE(p.actions.calls, QStringList{"login"});
        QVERIFY(!p.dialog.isVisible());
    }

    // Enter on a focused button presses it, as in the other windows.
    void enterOnFocusedButton_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("result");  // -1: still open
        QTest::addColumn<int>("boxes");
        QTest::newRow("OK, right password") << "okButton"
                                            << "pw" << int(QDialog::Accepted) << 0;
        QTest::newRow("OK, wrong password") << "okButton"
                                            << "PW" << -1 << 1;
        QTest::newRow("ｷｬﾝｾﾙ") << "cancelButton"
                               << "pw" << int(QDialog::Rejected) << 0;
    }
    void enterOnFocusedButton() {
        QFETCH(QString, button);
        QFETCH(QString, typed);
        QFETCH(int, result);
        Prompt p(QStringLiteral("pw"), PasswordPrompt::LogIn);
        p.dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&p.dialog));
        type(p.passwordBox, typed);
        auto* pressed = p.dialog.findChild<QPushButton*>(button);
        pressed->setFocus();
        QTest::keyClick(pressed, Qt::Key_Return);
        QTEST(int(p.boxes.asked.size()), "boxes");
        QCOMPARE(p.dialog.isVisible(), result == -1);
        if (result != -1)
            QCOMPARE(p.dialog.result(), result);
        QCOMPARE(p.actions.calls.count(QStringLiteral("login")),
                 result == QDialog::Accepted ? 1 : 0);
    }

    void cancel_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("byEscape");
        QTest::newRow("log in, ｷｬﾝｾﾙ") << 0 << false;
        QTest::newRow("reveal, ｷｬﾝｾﾙ") << 1 << false;
        QTest::newRow("log in, Escape") << 0 << true;
    }
    void cancel() {
        QFETCH(int, mode);
        QFETCH(bool, byEscape);
        Prompt p(QStringLiteral("pw"), int16_t(mode));
        type(p.passwordBox, QStringLiteral("pw"));  // even the right password is dropped
        if (byEscape)
            QTest::keyClick(p.passwordBox, Qt::Key_Escape);
        else
            p.cancelButton->click();
        QVERIFY(!p.dialog.isVisible());
        QCOMPARE(p.dialog.result(), int(QDialog::Rejected));
        QVERIFY(p.actions.calls.isEmpty());
        QVERIFY(p.boxes.asked.isEmpty());
    }
};

QTEST_MAIN(TestPrompt)
#include "tst_prompt.moc"
