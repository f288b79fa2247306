#include "SiteSettingsDialog.h"

#include "login/PasswordPrompt.h"
#include "ui/Controls.h"
#include "ui/Twips.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>

namespace sirano {
namespace {

// A hidden value shows as exactly eight stars, so the row gives away nothing of its length.
QString fieldRow(const SiteField& field, bool hidden) {
    return field.fieldName + u',' + (hidden ? QStringLiteral("********") : field.fieldValue);
}

}  // namespace

SiteSettingsDialog::SiteSettingsDialog(AppState& state, SiteEditorState& editor,
                                       AppActions& actions, MessageBox& messages, QWidget* parent)
    : QDialog(parent, kFixedDialogFlags),
      state_(state),
      editor_(editor),
      actions_(actions),
      messages_(messages) {
    setUpWindow(this, "Form2", QStringLiteral("SIRANO 設定"), twipsSize(4680, 3090));

    combo1_ = new QComboBox(this);
    combo1_->setObjectName(QStringLiteral("Combo1"));
    combo1_->setGeometry(twipsRect(120, 120, 4455, 315));
    combo1_->setEditable(true);
    // The text part is the title "設定" stores: never add it as an item, never complete it.
    combo1_->setInsertPolicy(QComboBox::NoInsert);
    combo1_->setCompleter(nullptr);
    // Nor let it choose: Qt selects the item that equals the typed text when editing ends (Enter,
    // focus leaving), and "設定" would then rename that other entry with the edits of this one.
    // Only the list and the arrow keys choose an entry.
    QLineEdit* title = combo1_->lineEdit();
    disconnect(title, &QLineEdit::editingFinished, combo1_, nullptr);
    disconnect(title, &QLineEdit::returnPressed, combo1_, nullptr);

    text1_ = addLineEdit(this, "Text1", twipsRect(120, 480, 4455, 270));
    text2_ = addLineEdit(this, "Text2", twipsRect(120, 840, 4455, 270));
    list1_ = new QListWidget(this);
    list1_->setObjectName(QStringLiteral("List1"));
    list1_->setGeometry(twipsRect(120, 1200, 4455, 1035));
    list1_->setSelectionMode(QAbstractItemView::SingleSelection);
    text3_ = addLineEdit(this, "Text3", twipsRect(120, 2400, 2175, 270));
    text4_ = addLineEdit(this, "Text4", twipsRect(2400, 2400, 2175, 270));
    for (QLineEdit* box : {text3_, text4_})
        setMasked(box, true);

    auto* command3 =
        addButton(this, "Command3", QStringLiteral("削除"), twipsRect(120, 2760, 1095, 255));
    auto* command4 =
        addButton(this, "Command4", QStringLiteral("*"), twipsRect(1920, 2760, 255, 255));
    auto* command1 =
        addButton(this, "Command1", QStringLiteral("設定"), twipsRect(2280, 2760, 1095, 255));
    auto* command2 =
        addButton(this, "Command2", QStringLiteral("ｷｬﾝｾﾙ"), twipsRect(3480, 2760, 1095, 255));

    QWidget* const order[] = {combo1_, list1_,   text1_,   text3_,   text4_,
                              text2_,  command1, command2, command3, command4};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    combo1_->setFocus();

    connect(combo1_, &QComboBox::activated, this, &SiteSettingsDialog::refresh);
    connect(list1_, &QListWidget::itemSelectionChanged, this, &SiteSettingsDialog::list1Click);
    connect(command1, &QPushButton::clicked, this, &SiteSettingsDialog::command1Click);
    connect(command2, &QPushButton::clicked, this, &QDialog::reject);
    connect(command3, &QPushButton::clicked, this, &SiteSettingsDialog::command3Click);
    connect(command4, &QPushButton::clicked, this, &SiteSettingsDialog::command4Click);

    formLoad();
}

void SiteSettingsDialog::formLoad() {
    const SiteTable& table = state_.siteTable;
    if (table.siteCount() == 0)
        return;
    for (int k = 0; k < table.siteCount(); ++k)
        combo1_->addItem(table.at(k).title);
    combo1_->setCurrentIndex(0);
    refresh();
}

void SiteSettingsDialog::refresh() {
    const int c = combo1_->currentIndex();
    list1_->clear();
    // No item selected (an empty table): nothing to show, and SelectedSite keeps its slot.
    if (c < 0 || c >= state_.siteTable.siteCount())
        return;
    const SiteEntry& entry = state_.siteTable.at(c);
    text1_->setText(entry.url);
    text2_->setText(entry.urlKeyword);
    for (const SiteField& field : entry.fields())
        list1_->addItem(fieldRow(field, editor_.asterisk));
    editor_.selectedSite = static_cast<int16_t>(c);
}

int SiteSettingsDialog::selectedRow() const {
    const QList<QListWidgetItem*> selected = list1_->selectedItems();
    return selected.isEmpty() ? -1 : list1_->row(selected.first());
}

void SiteSettingsDialog::list1Click() {
    const int r = selectedRow();
    const SiteEntry& entry = state_.siteTable.at(editor_.selectedSite);
    if (r < 0 || r >= entry.fieldCount())
        return;
    text3_->setText(entry.field(r).fieldName);
    text4_->setText(entry.field(r).fieldValue);
}

void SiteSettingsDialog::command1Click() {
    // With no entries this writes into the free slot SelectedSite names; it never adds an entry.
    SiteEntry& entry = state_.siteTable.at(editor_.selectedSite);
    entry.title = combo1_->currentText();
    entry.url = text1_->text();
    entry.urlKeyword = text2_->text();
    const int r = selectedRow();
    if (r >= 0 && r < entry.fieldCount()) {
        entry.setFieldName(r, text3_->text());
        entry.setFieldValue(r, text4_->text());
    }
    saveAndClose();
}

void SiteSettingsDialog::command3Click() {
    SiteTable& table = state_.siteTable;
    if (table.siteCount() == 0 || editor_.selectedSite >= table.siteCount())
        return;
    const QMessageBox::StandardButton answer =
        messages_.show(this, QMessageBox::Critical, QStringLiteral("確認"),
                       table.at(editor_.selectedSite).title + QStringLiteral(" を削除しますか？"),
                       QMessageBox::Ok | QMessageBox::Cancel);
    if (answer != QMessageBox::Ok)
        return;
    table.remove(editor_.selectedSite);
    saveAndClose();
}

void SiteSettingsDialog::command4Click() {
    if (!state_.settings.masterPassword.isEmpty() && editor_.asterisk) {
        PasswordPrompt prompt(state_, actions_, messages_, PasswordPrompt::Reveal, this);
        if (prompt.exec() == QDialog::Accepted)
            editor_.asterisk = false;
    } else {
        editor_.asterisk = !editor_.asterisk;
    }
    setMasked(text3_, editor_.asterisk);
    setMasked(text4_, editor_.asterisk);
    const int row = selectedRow();
    refresh();
    // The row stays selected, so that "設定" still stores what the bottom boxes hold; they keep
    // what was typed, so the selection must not reload them.
    if (row >= 0 && row < list1_->count()) {
        const QSignalBlocker quiet(list1_);
        list1_->setCurrentRow(row);
    }
}

void SiteSettingsDialog::saveAndClose() {
    // A failed save is reported and the edits stay in memory, so the menu still follows them.
    saveSiranoOrReport(state_, actions_, messages_, this);
    actions_.menuSirano();
    accept();
}

void SiteSettingsDialog::keyPressEvent(QKeyEvent* event) {
    if (!pressFocusedButtonOnEnter(this, event))
        QDialog::keyPressEvent(event);
}

}  // namespace sirano
