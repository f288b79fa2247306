// The password prompt "ﾊﾟｽﾜｰﾄﾞ確認": asks for the master password, to log in (mode 0) or to reveal
// the site settings dialog's stored values (mode 1).
#pragma once

#include "app/AppActions.h"
#include "app/AppState.h"
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

    // The right password calls actions.login() in mode 0; in mode 1 it only closes the dialog
    // accepted, and the caller reveals. A wrong password keeps it open; cancel rejects.
    PasswordPrompt(AppState& state, AppActions& actions, MessageBox& messages, int16_t mode,
                   QWidget* parent = nullptr);

protected:
    // Enter presses a focused button, as in the other windows.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void onOk();

    AppState& state_;
    AppActions& actions_;
    MessageBox& messages_;
    int16_t mode_;
    QLineEdit* passwordBox_;
};

}  // namespace sirano
