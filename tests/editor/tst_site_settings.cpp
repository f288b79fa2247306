// The site settings dialog, driven through its controls.
#include "editor/SiteSettingsDialog.h"
#include "support/DialogTestKit.h"
#include "support/Entries.h"
#include "support/RecordingMessageBox.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <optional>

using namespace sirano;
using namespace sirano::test;

namespace {

SiteField textField(int16_t element, const QString& name, const QString& value) {
    return {0, element, QStringLiteral("text"), name, value};
}
SiteField checkbox(int16_t element, const QString& name, bool ticked) {
    return {0, element, QStringLiteral("checkbox"), name,
            ticked ? QStringLiteral("True") : QStringLiteral("False")};
}

SiteEntry entry(const QString& title, const QString& url, const QString& keyword,
                const std::vector<SiteField>& fields, int32_t windowId) {
    SiteEntry e = test::entry(title, url, keyword, fields);
    e.filledWindows.insert(windowId);
    return e;
}

// Three entries; the third mixes a check box with text so that a move shows every column.
struct Fixture {
    AppState state;
    SiteEditorState editor;
    RecordingActions actions;
    RecordingMessageBox messages;

    Fixture() {
        state.dataFilePath = QStringLiteral("/readonly/SIRANO.DAT");
        SiteTable& t = state.siteTable;
        t.append(entry(
            QStringLiteral("Alpha"), QStringLiteral("https://a.example/login"),
            QStringLiteral("login"),
            {textField(0, QStringLiteral("user"), QStringLiteral("alice")),
             {1, 2, QStringLiteral("password"), QStringLiteral("pw"), QStringLiteral("s3cret")}},
            11));
        t.append(entry(QStringLiteral("Beta"), QStringLiteral("https://b.example/"), QString(),
                       {textField(0, QStringLiteral("id"), QStringLiteral("b"))}, 22));
        t.append(entry(QStringLiteral("Gamma ｶﾞﾝﾏ"), QStringLiteral("https://g.example/in"),
                       QStringLiteral("キー"),
                       {checkbox(3, QStringLiteral("keep"), true),
                        textField(4, QStringLiteral("名前"), QStringLiteral("山田"))},
                       33));
    }
};

QStringList rows(const QListWidget* list) {
    QStringList r;
    for (int i = 0; i < list->count(); ++i)
        r << list->item(i)->text();
    return r;
}

QStringList titles(const SiteTable& table) {
    QStringList t;
    for (int i = 0; i < table.siteCount(); ++i)
        t << table.at(i).title;
    return t;
}

void selectRow(const SiteSettingsDialog& dialog, int row) {
    auto* list = control<QListWidget>(dialog, "fieldList");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(row)).center());
}

void replaceText(QLineEdit* box, const QString& text) {
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Delete);
    typeText(box, text);
}

// Answers the password prompt that the next click may open: types the password and presses OK,
// or cancels (no password, or the prompt still open after a wrong one). Tells whether one opened.
class PromptAnswer {
public:
    explicit PromptAnswer(std::optional<QString> password) {
        QTimer::singleShot(0, [this, password] {
            QWidget* prompt = QApplication::activeModalWidget();
            if (!prompt || prompt->objectName() != QStringLiteral("passwordPrompt"))
                return;
            shown = true;
            if (password) {
                control<QLineEdit>(*prompt, "passwordBox")->setText(*password);
                click(*prompt, "okButton");
            }
            if (prompt->isVisible())
                click(*prompt, "cancelButton");
        });
    }
    bool shown = false;
};

bool masked(const SiteSettingsDialog& dialog) {
    const auto* fieldNameBox = control<QLineEdit>(dialog, "fieldNameBox");
    const auto* fieldValueBox = control<QLineEdit>(dialog, "fieldValueBox");
    if (fieldNameBox->echoMode() != fieldValueBox->echoMode())
        throw std::logic_error("fieldNameBox and fieldValueBox masked differently");
    return fieldNameBox->echoMode() == QLineEdit::Password;
}

}  // namespace

class TestSiteSettings : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void window();
    void loadShowsFirstEntryHidden();
    void hiddenRowIsEightStars_data();
    void hiddenRowIsEightStars();
    void comboSelectsEntry();
    void rowShowsStoredNameAndValue();
    void applyOneField();
    void applyWithoutRowRenames();
    void typedTitleIsNotCompleted();
    void typedTitleKeepsTheEntry_data();
    void typedTitleKeepsTheEntry();
    void cancelDiscardsEdits();
    void emptyTable();
    void deleteEntry_data();
    void deleteEntry();
    void deleteQuestionWrapsALongTitle();
    void deleteQuestionInJapanese();
    void reveal_data();
    void reveal();
    void reopenAfterRevealMasksBoxes();
    void revealKeepsTheRow_data();
    void revealKeepsTheRow();
    void failedSaveIsReportedAndKept();
    void enterInBoxesPressesNothing();
    void tabOrder();
};

void TestSiteSettings::window() {
    Fixture f;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    QCOMPARE(dialog.objectName(), QStringLiteral("siteSettingsDialog"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("SIRANO 設定"));
    QCOMPARE(dialog.size(), QSize(312, 206));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(
        !(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    for (const QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        QVERIFY2(dialog.rect().contains(child->geometry()), qPrintable(child->objectName()));
    const auto* combo = control<QComboBox>(dialog, "siteBox");
    QVERIFY(combo->isEditable());
    QCOMPARE(combo->insertPolicy(), QComboBox::NoInsert);
    QCOMPARE(control<QPushButton>(dialog, "storeButton")->text(), QStringLiteral("設定"));
    QCOMPARE(control<QPushButton>(dialog, "cancelButton")->text(), QStringLiteral("ｷｬﾝｾﾙ"));
    QCOMPARE(control<QPushButton>(dialog, "deleteButton")->text(), QStringLiteral("削除"));
    QCOMPARE(control<QPushButton>(dialog, "revealButton")->text(), QStringLiteral("*"));
    for (const char* box : {"fieldNameBox", "fieldValueBox"})
        QVERIFY(!control<QLineEdit>(dialog, box)->testAttribute(Qt::WA_InputMethodEnabled));
}

void TestSiteSettings::loadShowsFirstEntryHidden() {
    Fixture f;
    f.editor.selectedSite = 2;  // left from an earlier opening
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    const auto* combo = control<QComboBox>(dialog, "siteBox");
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    QCOMPARE(items, titles(f.state.siteTable));
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(control<QLineEdit>(dialog, "addressBox")->text(),
             QStringLiteral("https://a.example/login"));
    QCOMPARE(control<QLineEdit>(dialog, "keywordBox")->text(), QStringLiteral("login"));
    QCOMPARE(rows(control<QListWidget>(dialog, "fieldList")),
             (QStringList{"user,********", "pw,********"}));
    QVERIFY(control<QListWidget>(dialog, "fieldList")->selectedItems().isEmpty());
    QVERIFY(control<QLineEdit>(dialog, "fieldNameBox")->text().isEmpty());
    QVERIFY(control<QLineEdit>(dialog, "fieldValueBox")->text().isEmpty());
    QVERIFY(masked(dialog));
    QCOMPARE(f.editor.selectedSite, 0);
}

void TestSiteSettings::hiddenRowIsEightStars_data() {
    QTest::addColumn<QString>("value");
    QTest::newRow("empty") << "";
    QTest::newRow("one character") << "x";
    QTest::newRow("long") << QString(300, u'長');
}

void TestSiteSettings::hiddenRowIsEightStars() {
    QFETCH(QString, value);
    Fixture f;
    f.state.siteTable.at(0).setFieldValue(0, value);
    SiteSettingsDialog hidden(f.state, f.editor, f.actions, f.messages);
    QCOMPARE(control<QListWidget>(hidden, "fieldList")->item(0)->text(),
             QStringLiteral("user,********"));
    f.editor.asterisk = false;
    SiteSettingsDialog shown(f.state, f.editor, f.actions, f.messages);
    QCOMPARE(control<QListWidget>(shown, "fieldList")->item(0)->text(),
             QStringLiteral("user,") + value);
}

void TestSiteSettings::comboSelectsEntry() {
    Fixture f;
    f.editor.asterisk = false;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    auto* combo = control<QComboBox>(dialog, "siteBox");
    QTest::keyClick(combo, Qt::Key_Down);
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentText(), QStringLiteral("Gamma ｶﾞﾝﾏ"));
    QCOMPARE(control<QLineEdit>(dialog, "addressBox")->text(),
             QStringLiteral("https://g.example/in"));
    QCOMPARE(control<QLineEdit>(dialog, "keywordBox")->text(), QStringLiteral("キー"));
    QCOMPARE(rows(control<QListWidget>(dialog, "fieldList")),
             (QStringList{"keep,True", "名前,山田"}));
    QCOMPARE(f.editor.selectedSite, 2);
}

void TestSiteSettings::rowShowsStoredNameAndValue() {
    Fixture f;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    selectRow(dialog, 1);
    // The boxes get the stored value even while hidden: only their mask hides it.
    QCOMPARE(control<QLineEdit>(dialog, "fieldNameBox")->text(), QStringLiteral("pw"));
    QCOMPARE(control<QLineEdit>(dialog, "fieldValueBox")->text(), QStringLiteral("s3cret"));
    QVERIFY(masked(dialog));
}

void TestSiteSettings::applyOneField() {
    Fixture f;
    const SiteTable before = f.state.siteTable;
    QString valueAtSave;
    f.actions.onSave = [&] { valueAtSave = f.state.siteTable.at(0).field(1).fieldValue; };
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    selectRow(dialog, 1);
    replaceText(control<QLineEdit>(dialog, "fieldValueBox"), QStringLiteral("新しい値"));
    click(dialog, "storeButton");

    QCOMPARE(f.actions.calls, (QStringList{"save", "menu"}));
    QCOMPARE(valueAtSave, QStringLiteral("新しい値"));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    SiteEntry expected = before.at(0);
    expected.setFieldValue(1, QStringLiteral("新しい値"));
    QCOMPARE(f.state.siteTable.at(0), expected);
    QCOMPARE(f.state.siteTable.at(1), before.at(1));
    QCOMPARE(f.state.siteTable.siteCount(), 3);
    QVERIFY(f.messages.asked.isEmpty());
}

void TestSiteSettings::applyWithoutRowRenames() {
    Fixture f;
    const SiteTable before = f.state.siteTable;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    auto* combo = control<QComboBox>(dialog, "siteBox");
    QTest::keyClick(combo, Qt::Key_Down);
    replaceText(combo->lineEdit(), QStringLiteral("ベータ & Co"));
    replaceText(control<QLineEdit>(dialog, "addressBox"), QStringLiteral("https://b.example/new"));
    typeText(control<QLineEdit>(dialog, "fieldNameBox"), QStringLiteral("ignored"));
    click(dialog, "storeButton");

    const SiteEntry& beta = f.state.siteTable.at(1);
    QCOMPARE(beta.title, QStringLiteral("ベータ & Co"));
    QCOMPARE(beta.url, QStringLiteral("https://b.example/new"));
    QCOMPARE(beta.urlKeyword, QString());
    QCOMPARE(beta.fields(), before.at(1).fields());
    QCOMPARE(f.actions.calls, (QStringList{"save", "menu"}));
}

// Typing the start of another entry's title must not complete to that title.
void TestSiteSettings::typedTitleIsNotCompleted() {
    Fixture f;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    replaceText(control<QComboBox>(dialog, "siteBox")->lineEdit(), QStringLiteral("Gam"));
    click(dialog, "storeButton");
    QCOMPARE(titles(f.state.siteTable), (QStringList{"Gam", "Beta", "Gamma ｶﾞﾝﾏ"}));
}

// The entry edited is the one picked from the list. Qt's combo box selects the item equal to the
// typed text when editing ends (Enter, focus leaving); "設定" then wrote this entry's edits over
// that other entry, and "削除" removed it.
void TestSiteSettings::typedTitleKeepsTheEntry_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("command");
    for (const char* typed : {"Neu", "Beta", "BETA"})
        for (const char* command : {"storeButton", "deleteButton"})
            QTest::addRow("%s, %s", typed, command) << QString::fromUtf8(typed) << command;
}

void TestSiteSettings::typedTitleKeepsTheEntry() {
    QFETCH(QString, typed);
    QFETCH(QString, command);
    Fixture f;
    const SiteTable before = f.state.siteTable;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QLineEdit* title = control<QComboBox>(dialog, "siteBox")->lineEdit();
    title->setFocus();
    replaceText(title, typed);
    QTest::keyClick(title, Qt::Key_Return);
    auto* url = control<QLineEdit>(dialog, "addressBox");
    url->setFocus();  // the title box loses the focus
    replaceText(url, QStringLiteral("https://a.example/new"));
    QTest::mouseClick(control<QPushButton>(dialog, command), Qt::LeftButton);

    QCOMPARE(f.editor.selectedSite, 0);
    QCOMPARE(f.actions.calls, (QStringList{"save", "menu"}));
    if (command == QLatin1String("deleteButton")) {
        QCOMPARE(f.messages.asked.size(), 1);
        QCOMPARE(f.messages.asked.first().text, QStringLiteral("Alpha を削除しますか？"));
        QCOMPARE(titles(f.state.siteTable), (QStringList{"Beta", "Gamma ｶﾞﾝﾏ"}));
        return;
    }
    SiteEntry expected = before.at(0);
    expected.title = typed;
    expected.url = QStringLiteral("https://a.example/new");
    QCOMPARE(f.state.siteTable.at(0), expected);
    QCOMPARE(f.state.siteTable.at(1), before.at(1));
    QCOMPARE(f.state.siteTable.at(2), before.at(2));
}

void TestSiteSettings::cancelDiscardsEdits() {
    Fixture f;
    const SiteTable before = f.state.siteTable;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    selectRow(dialog, 0);
    replaceText(control<QComboBox>(dialog, "siteBox")->lineEdit(), QStringLiteral("X"));
    replaceText(control<QLineEdit>(dialog, "addressBox"), QStringLiteral("Y"));
    replaceText(control<QLineEdit>(dialog, "fieldValueBox"), QStringLiteral("Z"));
    click(dialog, "cancelButton");
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(f.actions.calls.isEmpty());
    for (int i = 0; i < 3; ++i)
        QCOMPARE(f.state.siteTable.at(i), before.at(i));
}

// No entries: nothing shows, "削除" does nothing, "*" refreshes without an index, and "設定"
// writes the free slot SelectedSite names without making it an entry.
void TestSiteSettings::emptyTable() {
    AppState state;
    SiteEditorState editor;
    editor.selectedSite = 4;
    RecordingActions actions;
    RecordingMessageBox messages;
    SiteSettingsDialog dialog(state, editor, actions, messages);
    dialog.show();
    QCOMPARE(control<QComboBox>(dialog, "siteBox")->count(), 0);
    QCOMPARE(control<QListWidget>(dialog, "fieldList")->count(), 0);
    for (const char* box : {"addressBox", "keywordBox", "fieldNameBox", "fieldValueBox"})
        QVERIFY(control<QLineEdit>(dialog, box)->text().isEmpty());

    click(dialog, "deleteButton");
    QVERIFY(messages.asked.isEmpty());
    QVERIFY(dialog.isVisible());
    click(dialog, "revealButton");
    QVERIFY(!editor.asterisk);
    QCOMPARE(control<QListWidget>(dialog, "fieldList")->count(), 0);
    QCOMPARE(editor.selectedSite, 4);

    typeText(control<QComboBox>(dialog, "siteBox")->lineEdit(), QStringLiteral("T"));
    typeText(control<QLineEdit>(dialog, "addressBox"), QStringLiteral("u"));
    click(dialog, "storeButton");
    QCOMPARE(state.siteTable.siteCount(), 0);
    QCOMPARE(state.siteTable.at(4).title, QStringLiteral("T"));
    QCOMPARE(state.siteTable.at(4).url, QStringLiteral("u"));
    QCOMPARE(actions.calls, (QStringList{"save", "menu"}));
    QVERIFY(!dialog.isVisible());
}

void TestSiteSettings::deleteEntry_data() {
    QTest::addColumn<int>("site");
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("middle") << 1 << QMessageBox::Ok << QStringList{"Alpha", "Gamma ｶﾞﾝﾏ"};
    QTest::newRow("last") << 2 << QMessageBox::Ok << QStringList{"Alpha", "Beta"};
    QTest::newRow("first") << 0 << QMessageBox::Ok << QStringList{"Beta", "Gamma ｶﾞﾝﾏ"};
    QTest::newRow("cancelled") << 1 << QMessageBox::Cancel
                               << QStringList{"Alpha", "Beta", "Gamma ｶﾞﾝﾏ"};
}

// A title without spaces longer than the box is wide: the question holds it whole, with a break
// opportunity at least every 30 characters, so the box wraps it instead of cutting it off.
void TestSiteSettings::deleteQuestionWrapsALongTitle() {
    Fixture f;
    const QString title = QString(298, u'x');
    f.state.siteTable.at(0).title = title;
    f.messages.answers = {QMessageBox::Cancel};
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    click(dialog, "deleteButton");
    QCOMPARE(f.messages.asked.size(), 1);
    const QString text = f.messages.asked.first().text;
    QCOMPARE(QString(text).remove(QChar(0x200B)), title + QStringLiteral(" を削除しますか？"));
    for (const QString& run : text.split(QChar(0x200B)))
        QVERIFY(run.size() <= 30 + 9);
    QCOMPARE(f.state.siteTable.at(0).title, title);
}

void TestSiteSettings::deleteEntry() {
    QFETCH(int, site);
    QFETCH(QMessageBox::StandardButton, answer);
    QFETCH(QStringList, after);
    Fixture f;
    const SiteTable before = f.state.siteTable;
    f.messages.answers = {answer};
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    for (int i = 0; i < site; ++i)
        QTest::keyClick(control<QComboBox>(dialog, "siteBox"), Qt::Key_Down);
    click(dialog, "deleteButton");

    QCOMPARE(f.messages.asked.size(), 1);
    const AskedBox& question = f.messages.asked.first();
    QCOMPARE(QString(question.text).remove(QChar(0x200B)),
             before.at(site).title + QStringLiteral(" を削除しますか？"));
    QCOMPARE(question.title, QStringLiteral("確認"));
    QCOMPARE(question.icon, QMessageBox::Critical);
    QCOMPARE(question.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(titles(f.state.siteTable), after);

    if (answer == QMessageBox::Cancel) {
        QVERIFY(dialog.isVisible());
        QVERIFY(f.actions.calls.isEmpty());
        return;
    }
    QCOMPARE(f.actions.calls, (QStringList{"save", "menu"}));
    QVERIFY(!dialog.isVisible());
    // Every later entry moved down whole, check boxes and window markers included.
    for (int k = site; k < 2; ++k) {
        QCOMPARE(f.state.siteTable.at(k), before.at(k + 1));
        QVERIFY(f.state.siteTable.at(k).filledWindows.contains((k + 2) * 11));
    }
    if (site < 2)  // the check box of the third entry is still one in second place
        QVERIFY(f.state.siteTable.at(1).field(0).isCheckbox());
    const SiteEntry& freed = f.state.siteTable.at(2);
    QVERIFY(freed.title.isEmpty() && freed.url.isEmpty() && freed.urlKeyword.isEmpty());
    QCOMPARE(freed.fieldCount(), 0);
    QVERIFY(freed.filledWindows.empty());
}

// The real question box speaks Japanese like the rest: "OK" and "ｷｬﾝｾﾙ"; ｷｬﾝｾﾙ keeps the entry.
void TestSiteSettings::deleteQuestionInJapanese() {
    Fixture f;
    WidgetMessageBox boxes;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, boxes);
    dialog.show();
    QStringList buttons;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        for (const QAbstractButton* b : box->buttons())
            buttons << b->text();
        box->button(QMessageBox::Cancel)->click();
    });
    click(dialog, "deleteButton");
    buttons.sort();
    QCOMPARE(buttons, (QStringList{"OK", "ｷｬﾝｾﾙ"}));
    QCOMPARE(f.state.siteTable.siteCount(), 3);
    QVERIFY(f.actions.calls.isEmpty());
    QVERIFY(dialog.isVisible());
}

// "*" asks for the master password only to show values that are hidden, and only when there is
// one.
void TestSiteSettings::reveal_data() {
    QTest::addColumn<QString>("master");
    QTest::addColumn<bool>("hiddenBefore");
    QTest::addColumn<std::optional<QString>>("typed");  // what the prompt gets; none: cancel
    QTest::addColumn<bool>("prompted");
    QTest::addColumn<bool>("hiddenAfter");
    const std::optional<QString> cancel;
    // clang-format off
    QTest::newRow("right password shows") << "Pass" << true << std::optional<QString>("Pass") << true << false;
    QTest::newRow("wrong password keeps hidden") << "Pass" << true << std::optional<QString>("pass") << true << true;
    QTest::newRow("cancelled prompt keeps hidden") << "Pass" << true << cancel << true << true;
    QTest::newRow("hiding needs no password") << "Pass" << false << cancel << false << true;
    QTest::newRow("no master password: show") << "" << true << cancel << false << false;
    QTest::newRow("no master password: hide") << "" << false << cancel << false << true;
    // clang-format on
}

void TestSiteSettings::reveal() {
    QFETCH(QString, master);
    QFETCH(bool, hiddenBefore);
    QFETCH(std::optional<QString>, typed);
    QFETCH(bool, hiddenAfter);
    Fixture f;
    f.state.settings.masterPassword = master;
    f.editor.asterisk = hiddenBefore;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    PromptAnswer prompt(typed);
    click(dialog, "revealButton");
    QCoreApplication::processEvents();  // lets an unused answer run now, finding no prompt

    QTEST(prompt.shown, "prompted");
    QCOMPARE(f.editor.asterisk, hiddenAfter);
    QCOMPARE(masked(dialog), hiddenAfter);
    const QStringList expectedRows = hiddenAfter ? QStringList{"user,********", "pw,********"}
                                                 : QStringList{"user,alice", "pw,s3cret"};
    QCOMPARE(rows(control<QListWidget>(dialog, "fieldList")), expectedRows);
    QVERIFY(f.actions.calls.isEmpty());  // neither logs in nor saves
    QVERIFY(dialog.isVisible());
}

void TestSiteSettings::reopenAfterRevealMasksBoxes() {
    Fixture f;
    f.editor.asterisk = false;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    QCOMPARE(rows(control<QListWidget>(dialog, "fieldList")),
             (QStringList{"user,alice", "pw,s3cret"}));
    QVERIFY(masked(dialog));
}

// "*" keeps the selected row and what the bottom boxes hold, so "設定" still stores that field.
void TestSiteSettings::revealKeepsTheRow_data() {
    QTest::addColumn<QString>("master");
    QTest::addColumn<bool>("hiddenBefore");
    QTest::newRow("show, asking the password") << "Pass" << true;
    QTest::newRow("show, no password set") << "" << true;
    QTest::newRow("hide") << "Pass" << false;
}

void TestSiteSettings::revealKeepsTheRow() {
    QFETCH(QString, master);
    QFETCH(bool, hiddenBefore);
    Fixture f;
    f.state.settings.masterPassword = master;
    f.editor.asterisk = hiddenBefore;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    selectRow(dialog, 1);
    replaceText(control<QLineEdit>(dialog, "fieldValueBox"), QStringLiteral("changed"));
    PromptAnswer prompt(QStringLiteral("Pass"));
    click(dialog, "revealButton");
    QCoreApplication::processEvents();
    QCOMPARE(f.editor.asterisk, !hiddenBefore);

    const QList<QListWidgetItem*> selected =
        control<QListWidget>(dialog, "fieldList")->selectedItems();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.first()->text(),
             hiddenBefore ? QStringLiteral("pw,s3cret") : QStringLiteral("pw,********"));
    QCOMPARE(control<QLineEdit>(dialog, "fieldValueBox")->text(), QStringLiteral("changed"));
    click(dialog, "storeButton");
    QCOMPARE(f.state.siteTable.at(0).field(1).fieldValue, QStringLiteral("changed"));
    QCOMPARE(f.actions.calls, (QStringList{"save", "menu"}));
}

// A save that fails is reported with the file and the reason; the edit stays in memory and
// the site menu still follows it.
void TestSiteSettings::failedSaveIsReportedAndKept() {
    Fixture f;
    f.actions.saveFailure = err::kPathFileAccess;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    replaceText(control<QComboBox>(dialog, "siteBox")->lineEdit(), QStringLiteral("Renamed"));
    click(dialog, "storeButton");
    QCOMPARE(f.state.siteTable.at(0).title, QStringLiteral("Renamed"));
    QCOMPARE(f.actions.calls, (QStringList{"save", "menu"}));
    QCOMPARE(f.messages.asked.size(), 1);
    const AskedBox& box = f.messages.asked.first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY2(box.text.contains(QStringLiteral("/readonly/SIRANO.DAT")), qPrintable(box.text));
    QVERIFY2(box.text.contains(QStringLiteral("Permission denied")), qPrintable(box.text));
    QVERIFY(!dialog.isVisible());
}

// No button is a default button: Enter in a box applies nothing; Enter on a focused button
// presses that button.
void TestSiteSettings::enterInBoxesPressesNothing() {
    Fixture f;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    for (const char* box : {"addressBox", "keywordBox", "fieldNameBox", "fieldValueBox"}) {
        auto* edit = control<QLineEdit>(dialog, box);
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Return);
    }
    QVERIFY(f.actions.calls.isEmpty());
    QVERIFY(dialog.isVisible());
    auto* apply = control<QPushButton>(dialog, "storeButton");
    apply->setFocus();
    QTest::keyClick(apply, Qt::Key_Return);
    QCOMPARE(f.actions.calls, (QStringList{"save", "menu"}));
}

void TestSiteSettings::tabOrder() {
    Fixture f;
    SiteSettingsDialog dialog(f.state, f.editor, f.actions, f.messages);
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto name = [&] {
        QWidget* w = dialog.focusWidget();
        // The combo box's text part has the focus on the combo box's behalf.
        return w->parentWidget() != &dialog ? w->parentWidget()->objectName() : w->objectName();
    };
    QStringList order{name()};
    for (int i = 0; i < 10; ++i) {
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Tab);
        order << name();
    }
    QCOMPARE(order, (QStringList{"siteBox", "fieldList", "addressBox", "fieldNameBox",
                                 "fieldValueBox", "keywordBox", "storeButton", "cancelButton",
                                 "deleteButton", "revealButton", "siteBox"}));
}

QTEST_MAIN(TestSiteSettings)
#include "tst_site_settings.moc"
