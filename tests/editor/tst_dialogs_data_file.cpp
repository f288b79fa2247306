// The two dialogs over a real data file: what they change is what the next start reads.
#include "editor/SiteSettingsDialog.h"
#include "login/PasswordSettingsDialog.h"
#include "store/DataFile.h"
#include "support/DialogTestKit.h"
#include "support/RecordingMessageBox.h"
#include "support/StoreFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <cstring>

using namespace sirano;
using namespace sirano::test;

namespace {

// What a fresh start finds in the file.
AppState restart(const QString& path) {
    AppState fresh;
    loadStore(fresh, path);
    return fresh;
}

SiteEntry entry(const QString& title, std::vector<SiteField> fields) {
    SiteEntry e;
    e.title = title;
    e.url = QStringLiteral("https://") + title.toLower() + QStringLiteral(".example/login");
    for (size_t j = 0; j < fields.size(); ++j)
        e.setField(static_cast<int>(j), std::move(fields[j]));
    return e;
}

}  // namespace

class TestDialogsDataFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void passwordChangeSurvivesRestart();
    void renameAndDeleteSurviveRestart();
    void unwritableFileIsReported_data();
    void unwritableFileIsReported();

private:
    QTemporaryDir dir_;
    AppState state_;
};

void TestDialogsDataFile::init() {
    QVERIFY(dir_.isValid());
    state_ = AppState{};
    state_.dataFilePath = dir_.filePath(QStringLiteral("SIRANO.DAT"));
    state_.settings.masterPassword = QStringLiteral("old");
    state_.siteTable.append(entry(QStringLiteral("One"), {{0, 0, "text", "user", "u1"}}));
    state_.siteTable.append(entry(QStringLiteral("Two"), {{0, 0, "text", "user", "u2"}}));
    state_.siteTable.append(entry(QStringLiteral("Three"), {{0, 0, "text", "user", "u3"},
                                                            {0, 2, "checkbox", "keep", "True"}}));
    saveStore(state_, state_.dataFilePath);
}

// Wrong current password, then new ones that differ, then right: only the last attempt counts.
void TestDialogsDataFile::passwordChangeSurvivesRestart() {
    RecordingActions actions(state_);
    actions.writeFile = true;
    RecordingMessageBox messages;
    NoKeyRing noKeyRing;
    PasswordSettingsDialog dialog(state_, actions, messages, noKeyRing);
    dialog.show();
    auto* current = control<QLineEdit>(dialog, "currentPasswordBox");
    typeText(current, QStringLiteral("OLD"));
    typeText(control<QLineEdit>(dialog, "newPasswordBox"), QStringLiteral("新しい"));
    typeText(control<QLineEdit>(dialog, "confirmPasswordBox"), QStringLiteral("新しい"));
    click(dialog, "changeButton");
    QCOMPARE(restart(state_.dataFilePath).settings.masterPassword, QStringLiteral("old"));
    current->clear();
    typeText(current, QStringLiteral("old"));
    control<QLineEdit>(dialog, "confirmPasswordBox")->clear();
    click(dialog, "changeButton");
    typeText(control<QLineEdit>(dialog, "confirmPasswordBox"), QStringLiteral("新しい"));
    control<QCheckBox>(dialog, "autoLoginCheck")->setChecked(true);
    control<QLineEdit>(dialog, "minutesBox")->setText(QStringLiteral("5"));
    click(dialog, "changeButton");

    QCOMPARE(messages.asked.size(), 3);
    QCOMPARE(messages.asked.last().title, QStringLiteral("ﾊﾟｽﾜｰﾄﾞ変更"));
    const Settings expected{QStringLiteral("新しい"), 1, 5};
    QCOMPARE(restart(state_.dataFilePath).settings, expected);
}

void TestDialogsDataFile::renameAndDeleteSurviveRestart() {
    RecordingActions actions(state_);
    actions.writeFile = true;
    RecordingMessageBox messages;
    SiteEditorState editor;
    {
        SiteSettingsDialog dialog(state_, editor, actions, messages);
        auto* title = control<QComboBox>(dialog, "siteBox")->lineEdit();
        title->selectAll();
        typeText(title, QStringLiteral("壱"));
        click(dialog, "storeButton");
    }
    {
        SiteSettingsDialog dialog(state_, editor, actions, messages);
        QTest::keyClick(control<QComboBox>(dialog, "siteBox"), Qt::Key_Down);
        click(dialog, "deleteButton");
    }
    QCOMPARE(actions.calls.count(QStringLiteral("menu")), 2);
    const AppState fresh = restart(state_.dataFilePath);
    QCOMPARE(fresh.siteTable.siteCount(), 2);
    QCOMPARE(fresh.siteTable.at(0).title, QStringLiteral("壱"));
    QCOMPARE(fresh.siteTable.at(1).title, QStringLiteral("Three"));
    QCOMPARE(fresh.siteTable.at(1).fieldCount(), 2);
    QVERIFY(fresh.siteTable.at(1).field(1).isCheckbox());
    QCOMPARE(fresh.siteTable.at(1).field(1).fieldValue, QStringLiteral("True"));
    QCOMPARE(fresh.siteTable.at(1).field(1).elementIndex, 2);
}

// A data file that cannot be written: the message names it and says why in Japanese (the
// system's error as the system gives it), and the edit stays in memory.
void TestDialogsDataFile::unwritableFileIsReported_data() {
    QTest::addColumn<bool>("siteSettings");
    QTest::newRow("SIRANO 設定") << true;
    QTest::newRow("ﾊﾟｽﾜｰﾄﾞ変更") << false;
}

void TestDialogsDataFile::unwritableFileIsReported() {
    QFETCH(bool, siteSettings);
    // A missing folder fails the save even for root, whom permissions do not stop.
    const QString blocked = dir_.filePath(QStringLiteral("gone/SIRANO.DAT"));
    state_.dataFilePath = blocked;
    RecordingActions actions(state_);
    actions.writeFile = true;
    RecordingMessageBox messages;
    if (siteSettings) {
        SiteEditorState editor;
        SiteSettingsDialog dialog(state_, editor, actions, messages);
        dialog.show();
        auto* title = control<QComboBox>(dialog, "siteBox")->lineEdit();
        title->selectAll();
        typeText(title, QStringLiteral("Renamed"));
        click(dialog, "storeButton");
        QVERIFY(!dialog.isVisible());
        QCOMPARE(state_.siteTable.at(0).title, QStringLiteral("Renamed"));
        QCOMPARE(actions.calls.count(QStringLiteral("menu")), 1);
    } else {
        NoKeyRing noKeyRing;
        PasswordSettingsDialog dialog(state_, actions, messages, noKeyRing);
        dialog.show();
        typeText(control<QLineEdit>(dialog, "currentPasswordBox"), QStringLiteral("old"));
        typeText(control<QLineEdit>(dialog, "newPasswordBox"), QStringLiteral("new"));
        typeText(control<QLineEdit>(dialog, "confirmPasswordBox"), QStringLiteral("new"));
        click(dialog, "changeButton");
        QVERIFY(!dialog.isVisible());
        QCOMPARE(state_.settings.masterPassword, QStringLiteral("new"));
    }

    QCOMPARE(messages.asked.size(), 1);  // and no success message
    const QString text = messages.asked.first().text;
    QCOMPARE(messages.asked.first().icon, QMessageBox::Critical);
    QVERIFY2(text.contains(blocked), qPrintable(text));
    const QString systemError = QString::fromLocal8Bit(std::strerror(ENOENT));
    QVERIFY2(text.contains(QStringLiteral("一時ファイルを作成できません (%1)").arg(systemError)),
             qPrintable(text));
    QString rest = text;
    rest.remove(blocked).remove(systemError);
    QVERIFY2(!rest.contains(QRegularExpression(QStringLiteral("[A-Za-z]{2,}"))), qPrintable(text));
}

QTEST_MAIN(TestDialogsDataFile)
#include "tst_dialogs_data_file.moc"
