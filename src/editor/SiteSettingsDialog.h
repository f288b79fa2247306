// Form2 "SIRANO 設定": reviews, corrects and deletes the stored site entries.
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
    void formLoad();
    void refresh();
    void list1Click();
    void command1Click();
    void command3Click();
    void command4Click();
    int selectedRow() const;
    void saveAndClose();

    AppState& state_;
    SiteEditorState& editor_;
    AppActions& actions_;
    MessageBox& messages_;
    QComboBox* combo1_;
    QLineEdit* text1_;
    QLineEdit* text2_;
    QListWidget* list1_;
    QLineEdit* text3_;
    QLineEdit* text4_;
};

}  // namespace sirano
