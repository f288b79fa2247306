// Form4 "ﾊﾟｽﾜｰﾄﾞ確認": asks for the master password, to log in (mode 0) or to reveal the site
// settings dialog's stored values (mode 1).
#pragma once

#include "store/AppState.h"
#include "store/MainWindowHooks.h"
#include "ui/MessageBox.h"

#include <QDialog>
#include <cstdint>

class QKeyEvent;
class QLineEdit;

namespace sirano {

class PasswordPrompt final : public QDialog {
    Q_OBJECT
public:
    enum Mode : int16_t { LogIn = 0, Reveal = 1 };

    // The right password calls hooks.login() in mode 0 and clears state.asterisk in mode 1.
    PasswordPrompt(AppState& state, MainWindowHooks& hooks, MessageBox& messages, int16_t mode,
                   QWidget* parent = nullptr);

protected:
    // Enter presses a focused button, as in the other windows.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void command1Click();

    AppState& state_;
    MainWindowHooks& hooks_;
    MessageBox& messages_;
    int16_t mode_;
    QLineEdit* text1_;
};

}  // namespace sirano
