#include "PasswordPrompt.h"

#include "BusyCursor.h"
#include "EncryptedStore.h"
#include "store/DataFileErrors.h"
#include "ui/Controls.h"

#include <QDir>
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
    const auto wrong = [this] {
        messages_.show(this, QMessageBox::Critical, QStringLiteral("ﾊﾟｽﾜｰﾄﾞｴﾗｰ"),
                       QStringLiteral("ﾊﾟｽﾜｰﾄﾞが違います。"), QMessageBox::Ok);
    };
    if (mode_ == LogIn && state_.dataFileEncrypted && !state_.loggedIn) {
        // The file is read again with the password typed: the check is its authentication.
        try {
            const BusyCursor busy;
            if (openEncryptedDataFile(state_, passwordBox_->text()) == OpenOutcome::WrongPassword) {
                wrong();
                return;
            }
        } catch (const LoadError& e) {
            messages_.show(
                this, QMessageBox::Critical, QStringLiteral("SIRANO"),
                QStringLiteral("データファイルを読み込めません。ファイルは変更して"
                               "いません。\n\nファイル: %1\n理由: %2")
                    .arg(QDir::toNativeSeparators(e.file()), e.reasonText(Language::Japanese)),
                QMessageBox::Ok);
            return;
        }
        actions_.rebuildSiteMenu();
        actions_.login();
        accept();
        return;
    }
    if (passwordBox_->text() != state_.settings.masterPassword) {
        wrong();
        return;
    }
    if (mode_ == LogIn)
        actions_.login();
    accept();
}

}  // namespace sirano
