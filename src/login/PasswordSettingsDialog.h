// Form3 "ﾊﾟｽﾜｰﾄﾞ変更": changes the master password and the two log-in settings, then saves.
#pragma once

#include "store/AppState.h"
#include "store/MainWindowHooks.h"
#include "ui/MessageBox.h"

#include <QDialog>
#include <QStringView>
#include <array>
#include <cstdint>
#include <optional>

class QCheckBox;
class QKeyEvent;
class QLineEdit;
class QPushButton;

namespace sirano {

// The automatic log-out minutes a text stands for: its numeric value rounded half to even.
// Nothing when the text holds a minus sign, when its number is written with an exponent, or when
// the value falls outside 0..999: the data file keeps three digits, and such a text is a typing
// slip rather than a wish.
std::optional<int16_t> autoLogoutMinutesFromText(QStringView text);

class PasswordSettingsDialog final : public QDialog {
    Q_OBJECT
public:
    PasswordSettingsDialog(AppState& state, MainWindowHooks& hooks, MessageBox& messages,
                           QWidget* parent = nullptr);

protected:
    // Enter moves down the password boxes and presses a focused button; nothing else.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void formLoad();
    void command1Click();

    AppState& state_;
    MainWindowHooks& hooks_;
    MessageBox& messages_;
    QLineEdit* text1_;
    std::array<QLineEdit*, 2> text2_;
    QLineEdit* text3_;
    QCheckBox* check1_;
    QPushButton* command1_;
    QPushButton* command2_;
};

}  // namespace sirano
