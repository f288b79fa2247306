#include "PasswordPrompt.h"

#include "ui/Controls.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace sirano {

PasswordPrompt::PasswordPrompt(AppState& state, AppActions& actions, MessageBox& messages,
                               int16_t mode, QWidget* parent)
    : QDialog(parent, kFixedDialogFlags),
      state_(state),
      actions_(actions),
      messages_(messages),
      mode_(mode) {
    setUpWindow(this, "passwordPrompt", QStringLiteral("ﾊﾟｽﾜｰﾄﾞ確認"), QSize(312, 96));

    addLabel(this, "passwordLabel", QStringLiteral("ﾊﾟｽﾜｰﾄﾞ:"), QRect(8, 8, 97, 17));
    passwordBox_ = addLineEdit(this, "passwordBox", QRect(8, 24, 297, 18));
    setMasked(passwordBox_, true);

    // Neither button is a default button: Enter in the box is OK through the box's own signal.
    auto* okButton = addButton(this, "okButton", QStringLiteral("OK"), QRect(152, 56, 73, 33));
    auto* cancelButton =
        addButton(this, "cancelButton", QStringLiteral("ｷｬﾝｾﾙ"), QRect(232, 56, 73, 33));

    setTabOrder(passwordBox_, cancelButton);
    setTabOrder(cancelButton, okButton);
    passwordBox_->setFocus();

    connect(okButton, &QPushButton::clicked, this, &PasswordPrompt::onOk);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(passwordBox_, &QLineEdit::returnPressed, this, &PasswordPrompt::onOk);
}

void PasswordPrompt::keyPressEvent(QKeyEvent* event) {
    if (!pressFocusedButtonOnEnter(this, event))
        QDialog::keyPressEvent(event);
}

void PasswordPrompt::onOk() {
    if (passwordBox_->text() != state_.settings.masterPassword) {
        messages_.show(this, QMessageBox::Critical, QStringLiteral("ﾊﾟｽﾜｰﾄﾞｴﾗｰ"),
                       QStringLiteral("ﾊﾟｽﾜｰﾄﾞが違います。"), QMessageBox::Ok);
        return;
    }
    if (mode_ == LogIn)
        actions_.login();
    accept();
}

}  // namespace sirano
