// Form2 "SIRANO 設定": reviews, corrects and deletes the stored site entries.
#pragma once

#include "store/AppState.h"
#include "store/MainWindowHooks.h"
#include "ui/MessageBox.h"

#include <QDialog>

namespace sirano {

class SiteSettingsDialog final : public QDialog {
    Q_OBJECT
public:
    SiteSettingsDialog(AppState& state, MainWindowHooks& hooks, MessageBox& messages,
                       QWidget* parent = nullptr);
};

}  // namespace sirano
