// Form3 "ﾊﾟｽﾜｰﾄﾞ変更": changes the master password and the two log-in settings, then saves.
#pragma once

#include "store/AppState.h"
#include "store/MainWindowHooks.h"
#include "ui/MessageBox.h"

#include <QDialog>

namespace sirano {

class PasswordSettingsDialog final : public QDialog {
    Q_OBJECT
public:
    PasswordSettingsDialog(AppState& state, MainWindowHooks& hooks, MessageBox& messages,
                           QWidget* parent = nullptr);
};

}  // namespace sirano
