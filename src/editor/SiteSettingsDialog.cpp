#include "SiteSettingsDialog.h"

#include "login/PasswordPrompt.h"
#include "ui/Controls.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>

namespace sirano {
namespace {

const QString kChangedElsewhere =
    QStringLiteral("このサイトは他のプログラムが変更または削除しました。今の内容を表示します。");

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
    setUpWindow(this, "siteSettingsDialog", QStringLiteral("SIRANO 設定"), QSize(312, 206));

    siteBox_ = new QComboBox(this);
    siteBox_->setObjectName(QStringLiteral("siteBox"));
    siteBox_->setGeometry(QRect(8, 8, 297, 21));
    siteBox_->setEditable(true);
    // The text part is the title "設定" stores: never add it as an item, never complete it.
    siteBox_->setInsertPolicy(QComboBox::NoInsert);
    siteBox_->setCompleter(nullptr);
    // Nor let it choose: Qt selects the item that equals the typed text when editing ends (Enter,
    // focus leaving), and "設定" would then rename that other entry with the edits of this one.
    // Only the list and the arrow keys choose an entry.
    QLineEdit* title = siteBox_->lineEdit();
    disconnect(title, &QLineEdit::editingFinished, siteBox_, nullptr);
    disconnect(title, &QLineEdit::returnPressed, siteBox_, nullptr);

    addressBox_ = addLineEdit(this, "addressBox", QRect(8, 32, 297, 18));
    keywordBox_ = addLineEdit(this, "keywordBox", QRect(8, 56, 297, 18));
    fieldList_ = new QListWidget(this);
    fieldList_->setObjectName(QStringLiteral("fieldList"));
    fieldList_->setGeometry(QRect(8, 80, 297, 69));
    fieldList_->setSelectionMode(QAbstractItemView::SingleSelection);
    fieldNameBox_ = addLineEdit(this, "fieldNameBox", QRect(8, 160, 145, 18));
    fieldValueBox_ = addLineEdit(this, "fieldValueBox", QRect(160, 160, 145, 18));
    for (QLineEdit* box : {fieldNameBox_, fieldValueBox_})
        setMasked(box, true);

    auto* deleteButton =
        addButton(this, "deleteButton", QStringLiteral("削除"), QRect(8, 184, 73, 17));
    auto* revealButton =
        addButton(this, "revealButton", QStringLiteral("*"), QRect(128, 184, 17, 17));
    auto* storeButton =
        addButton(this, "storeButton", QStringLiteral("設定"), QRect(152, 184, 73, 17));
    auto* cancelButton =
        addButton(this, "cancelButton", QStringLiteral("ｷｬﾝｾﾙ"), QRect(232, 184, 73, 17));

    QWidget* const order[] = {siteBox_,    fieldList_,  addressBox_,  fieldNameBox_, fieldValueBox_,
                              keywordBox_, storeButton, cancelButton, deleteButton,  revealButton};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    siteBox_->setFocus();

    connect(siteBox_, &QComboBox::activated, this, &SiteSettingsDialog::refresh);
    connect(fieldList_, &QListWidget::itemSelectionChanged, this,
            &SiteSettingsDialog::onFieldChosen);
    connect(storeButton, &QPushButton::clicked, this, &SiteSettingsDialog::onStore);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(deleteButton, &QPushButton::clicked, this, &SiteSettingsDialog::onDelete);
    connect(revealButton, &QPushButton::clicked, this, &SiteSettingsDialog::onToggleValues);

    loadEntries();
}

void SiteSettingsDialog::loadEntries() {
    const SiteTable& table = state_.siteTable;
    if (table.siteCount() == 0)
        return;
    for (int k = 0; k < table.siteCount(); ++k)
        siteBox_->addItem(table.at(k).title);
    siteBox_->setCurrentIndex(0);
    refresh();
}

void SiteSettingsDialog::showCurrentContents() {
    const int keep = slotOfShown();
    siteBox_->clear();
    fieldList_->clear();
    shown_.reset();
    const SiteTable& table = state_.siteTable;
    if (table.siteCount() == 0)
        return;
    for (int k = 0; k < table.siteCount(); ++k)
        siteBox_->addItem(table.at(k).title);
    siteBox_->setCurrentIndex(keep >= 0 ? keep : 0);
    refresh();
}

int SiteSettingsDialog::slotOfShown() const {
    if (!shown_)
        return -1;
    const SiteTable& table = state_.siteTable;
    const int at = editor_.selectedSite;
    if (at < table.siteCount() && table.at(at) == *shown_)
        return at;
    for (int k = 0; k < table.siteCount(); ++k) {
        if (table.at(k) == *shown_)
            return k;
    }
    return -1;
}

bool SiteSettingsDialog::shownStillThere() {
    if (!shown_)
        return true;  // nothing shown: an empty table
    const int at = slotOfShown();
    if (at >= 0) {
        editor_.selectedSite = static_cast<int16_t>(at);
        return true;
    }
    messages_.show(this, QMessageBox::Warning, QStringLiteral("SIRANO"), kChangedElsewhere,
                   QMessageBox::Ok);
    showCurrentContents();
    return false;
}

void SiteSettingsDialog::refresh() {
    const int c = siteBox_->currentIndex();
    fieldList_->clear();
    // No item selected (an empty table): nothing to show, and SelectedSite keeps its slot.
    if (c < 0 || c >= state_.siteTable.siteCount())
        return;
    const SiteEntry& entry = state_.siteTable.at(c);
    shown_ = entry;
    addressBox_->setText(entry.url);
    keywordBox_->setText(entry.urlKeyword);
    for (const SiteField& field : entry.fields())
        fieldList_->addItem(fieldRow(field, editor_.asterisk));
    editor_.selectedSite = static_cast<int16_t>(c);
}

int SiteSettingsDialog::selectedRow() const {
    const QList<QListWidgetItem*> selected = fieldList_->selectedItems();
    return selected.isEmpty() ? -1 : fieldList_->row(selected.first());
}

void SiteSettingsDialog::onFieldChosen() {
    const int r = selectedRow();
    const SiteEntry& entry = state_.siteTable.at(editor_.selectedSite);
    if (r < 0 || r >= entry.fieldCount())
        return;
    fieldNameBox_->setText(entry.field(r).fieldName);
    fieldValueBox_->setText(entry.field(r).fieldValue);
}

void SiteSettingsDialog::onStore() {
    if (!shownStillThere())
        return;
    // With no entries this writes into the free slot SelectedSite names; it never adds an entry.
    SiteEntry& entry = state_.siteTable.at(editor_.selectedSite);
    entry.title = siteBox_->currentText();
    entry.url = addressBox_->text();
    entry.urlKeyword = keywordBox_->text();
    const int r = selectedRow();
    if (r >= 0 && r < entry.fieldCount()) {
        entry.setFieldName(r, fieldNameBox_->text());
        entry.setFieldValue(r, fieldValueBox_->text());
    }
    saveAndClose();
}

void SiteSettingsDialog::onDelete() {
    SiteTable& table = state_.siteTable;
    if (table.siteCount() == 0 || !shownStillThere() || editor_.selectedSite >= table.siteCount())
        return;
    const std::optional<SiteEntry> asked = shown_;
    const QMessageBox::StandardButton answer = messages_.show(
        this, QMessageBox::Critical, QStringLiteral("確認"),
        breakable(table.at(editor_.selectedSite).title) + QStringLiteral(" を削除しますか？"),
        QMessageBox::Ok | QMessageBox::Cancel);
    if (answer != QMessageBox::Ok)
        return;
    // The data file may have been reloaded while the question waited, and the dialog may show
    // another entry now: only the one the user was asked about is deleted.
    if (shown_ != asked) {
        messages_.show(this, QMessageBox::Warning, QStringLiteral("SIRANO"), kChangedElsewhere,
                       QMessageBox::Ok);
        return;
    }
    if (!shownStillThere())
        return;
    table.remove(editor_.selectedSite);
    saveAndClose();
}

void SiteSettingsDialog::onToggleValues() {
    if (!state_.settings.masterPassword.isEmpty() && editor_.asterisk) {
        PasswordPrompt prompt(state_, actions_, messages_, PasswordPrompt::Reveal, this);
        if (prompt.exec() == QDialog::Accepted)
            editor_.asterisk = false;
    } else {
        editor_.asterisk = !editor_.asterisk;
    }
    setMasked(fieldNameBox_, editor_.asterisk);
    setMasked(fieldValueBox_, editor_.asterisk);
    const int row = selectedRow();
    refresh();
    // The row stays selected, so that "設定" still stores what the bottom boxes hold; they keep
    // what was typed, so the selection must not reload them.
    if (row >= 0 && row < fieldList_->count()) {
        const QSignalBlocker quiet(fieldList_);
        fieldList_->setCurrentRow(row);
    }
}

void SiteSettingsDialog::saveAndClose() {
    // A failed save is reported and the edits stay in memory, so the menu still follows them.
    saveDataFileOrReport(state_, actions_, messages_, this);
    actions_.rebuildSiteMenu();
    accept();
}

void SiteSettingsDialog::keyPressEvent(QKeyEvent* event) {
    if (!pressFocusedButtonOnEnter(this, event))
        QDialog::keyPressEvent(event);
}

}  // namespace sirano
