// The password settings dialog "ﾊﾟｽﾜｰﾄﾞ変更": changes the master password and the two log-in
// settings, then saves.
#pragma once

#include "app/AppActions.h"
#include "app/AppState.h"
#include "keyring/KeyRing.h"
#include "ui/MessageBox.h"

#include <QDialog>
#include <QStringView>
#include <cstdint>
#include <optional>

class QCheckBox;
class QKeyEvent;
class QLineEdit;
class QPushButton;

namespace sirano {

// The automatic log-out minutes a text stands for: a whole number from 0 to 999 in decimal
// digits (ASCII or full width), blanks around it allowed. Nothing for anything else (empty, a
// sign, a decimal point, an exponent, a letter): such a text is a typing slip, and reading it as
// a number (0 for "abc") would quietly switch the automatic log-out off or on.
std::optional<int16_t> autoLogoutMinutesFromText(QStringView text);

class PasswordSettingsDialog final : public QDialog {
    Q_OBJECT
public:
    // keyRing keeps an encrypted file's key for the automatic log-in.
    PasswordSettingsDialog(AppState& state, AppActions& actions, MessageBox& messages,
                           KeyRing& keyRing, QWidget* parent = nullptr);

protected:
    // Enter moves down the password boxes and presses a focused button; nothing else.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void showSettings();
    void onChange();

    AppState& state_;
    AppActions& actions_;
    MessageBox& messages_;
    KeyRing& keyRing_;
    QLineEdit* currentPasswordBox_;
    QLineEdit* newPasswordBox_;
    QLineEdit* confirmPasswordBox_;
    QLineEdit* minutesBox_;
    QCheckBox* autoLoginCheck_;
    QCheckBox* encryptCheck_;
    QPushButton* changeButton_;
    QPushButton* cancelButton_;
};

}  // namespace sirano
