// The site settings dialog "SIRANO 設定": reviews, corrects and deletes the stored site entries.
// "設定" and "削除" write the data file, rebuild the site menu and close the dialog (accepted);
// "ｷｬﾝｾﾙ" and the window frame close it without writing (rejected). Whether values are hidden
// (editor.asterisk) and the entry being edited (editor.selectedSite) outlive the window.
#pragma once

#include "SiteEditorState.h"
#include "app/AppActions.h"
#include "app/AppState.h"
#include "ui/MessageBox.h"

#include <QDialog>

class QComboBox;
class QKeyEvent;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace sirano {

class SiteSettingsDialog final : public QDialog {
    Q_OBJECT
public:
    SiteSettingsDialog(AppState& state, SiteEditorState& editor, AppActions& actions,
                       MessageBox& messages, QWidget* parent = nullptr);

protected:
    // Enter presses a focused button and does nothing in the boxes.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void loadEntries();
    void refresh();
    void onFieldChosen();
    void onStore();
    void onDelete();
    void onToggleValues();
    int selectedRow() const;
    void saveAndClose();

    AppState& state_;
    SiteEditorState& editor_;
    AppActions& actions_;
    MessageBox& messages_;
    QComboBox* siteBox_;
    QLineEdit* addressBox_;
    QLineEdit* keywordBox_;
    QListWidget* fieldList_;
    QLineEdit* fieldNameBox_;
    QLineEdit* fieldValueBox_;
};

}  // namespace sirano
