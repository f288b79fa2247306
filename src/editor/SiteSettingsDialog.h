// The site settings dialog "SIRANO 設定": reviews, corrects and deletes the stored site entries.
// "設定" and "削除" write the data file, rebuild the site menu and close the dialog (accepted);
// "ｷｬﾝｾﾙ" and the window frame close it without writing (rejected). Whether values are hidden
// (editor.asterisk) and the entry being edited (editor.selectedSite) outlive the window. The
// entry shown is known by what it held when shown: when another program changed or deleted it
// meanwhile, "設定" and "削除" say so and show the current contents, and nothing is written.
#pragma once

#include "SiteEditorState.h"
#include "app/AppActions.h"
#include "app/AppState.h"
#include "ui/MessageBox.h"

#include <QDialog>
#include <optional>

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

    // The table as it is now (after a reload of the data file), the entry shown kept when it is
    // still there.
    void showCurrentContents();

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
    // The slot of the entry shown, where it is now; -1 when it was changed or deleted since.
    int slotOfShown() const;
    // Says that the entry shown was changed elsewhere and shows the current contents; false then.
    bool shownStillThere();

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
    std::optional<SiteEntry> shown_;
};

}  // namespace sirano
