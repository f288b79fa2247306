// The password dialog's "データファイルを暗号化": offered only with a master password, and what it
// does to the key the saves use.
#include "login/PasswordSettingsDialog.h"
#include "support/DialogTestKit.h"
#include "support/RecordingMessageBox.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QtTest>

using namespace sirano;
using namespace sirano::test;

namespace {

struct Fixture {
    AppState state;
    RecordingActions actions{state};
    RecordingMessageBox messages;
    NoKeyRing noKeyRing;
    std::unique_ptr<PasswordSettingsDialog> shown;

    Fixture(const QString& password, bool encrypted) {
        state.settings.masterPassword = password;
        state.dataFileEncrypted = encrypted;
        if (encrypted)
            state.dataFileKey = DataFileKey::create(password, {1, kMinKdfMemKiB});
        shown = std::make_unique<PasswordSettingsDialog>(state, actions, messages, noKeyRing);
    }
    PasswordSettingsDialog& dialog() { return *shown; }
    QCheckBox* encryptCheck() { return control<QCheckBox>(dialog(), "encryptCheck"); }
    void change(const QString& current, const QString& next, bool encrypt) {
        typeText(control<QLineEdit>(dialog(), "currentPasswordBox"), current);
        typeText(control<QLineEdit>(dialog(), "newPasswordBox"), next);
        typeText(control<QLineEdit>(dialog(), "confirmPasswordBox"), next);
        if (encryptCheck()->isEnabled())
            encryptCheck()->setChecked(encrypt);
        click(dialog(), "changeButton");
    }
};

}  // namespace

class TestEncryptionSettings : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void offeredOnlyWithAPassword() {
        Fixture f(QString(), false);
        QCOMPARE(f.encryptCheck()->text(), QStringLiteral("データファイルを暗号化"));
        QVERIFY(!f.encryptCheck()->isEnabled());
        QVERIFY(!f.encryptCheck()->isChecked());
        typeText(control<QLineEdit>(f.dialog(), "newPasswordBox"), QStringLiteral("n"));
        QVERIFY(f.encryptCheck()->isEnabled());
        control<QLineEdit>(f.dialog(), "newPasswordBox")->clear();
        QVERIFY(!f.encryptCheck()->isEnabled());
        QVERIFY(f.dialog().rect().contains(f.encryptCheck()->geometry()));

        Fixture encrypted(QStringLiteral("pw"), true);
        QVERIFY(encrypted.encryptCheck()->isChecked());
    }

    void changeSetsTheKey_data() {
        QTest::addColumn<bool>("wasEncrypted");
        QTest::addColumn<QString>("newPassword");
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<bool>("sameKey");
        QTest::newRow("turned on") << false << "new" << true << true << false;
        QTest::newRow("left off") << false << "new" << false << false << false;
        QTest::newRow("new password, new key") << true << "new" << true << true << false;
        QTest::newRow("same password, same key") << true << "pw" << true << true << true;
        QTest::newRow("turned off") << true << "pw" << false << false << false;
        QTest::newRow("password removed") << true << "" << true << false << false;
    }
    void changeSetsTheKey() {
        QFETCH(bool, wasEncrypted);
        QFETCH(QString, newPassword);
        QFETCH(bool, ticked);
        Fixture f(QStringLiteral("pw"), wasEncrypted);
        const QByteArray oldSalt = wasEncrypted ? f.state.dataFileKey->salt() : QByteArray();
        f.change(QStringLiteral("pw"), newPassword, ticked);
        QCOMPARE(f.actions.calls, QStringList{QStringLiteral("save")});
        QTEST(f.state.dataFileEncrypted, "encrypted");
        QCOMPARE(f.state.dataFileKey.has_value(), f.state.dataFileEncrypted);
        if (f.state.dataFileKey) {
            QTEST(f.state.dataFileKey->salt() == oldSalt, "sameKey");
            QVERIFY(f.state.dataFileKey->params().memKiB >= kMinKdfMemKiB);
        }
    }
};

QTEST_MAIN(TestEncryptionSettings)
#include "tst_encryption_settings.moc"
