#include "PasswordSettingsDialog.h"

#include "BusyCursor.h"
#include "EncryptedStore.h"
#include "store/DataFile.h"
#include "store/Error.h"
#include "ui/Controls.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace sirano {
namespace {

// The value of a decimal digit, ASCII or full width (as an input method types it); -1 otherwise.
int digitValue(QChar c) {
    if (c >= u'0' && c <= u'9')
        return c.unicode() - u'0';
    if (c >= u'\uFF10' && c <= u'\uFF19')
        return c.unicode() - u'\uFF10';
    return -1;
}

}  // namespace

std::optional<int16_t> autoLogoutMinutesFromText(QStringView text) {
    const QStringView digits = text.trimmed();
    if (digits.isEmpty())
        return std::nullopt;
    int minutes = 0;
    for (const QChar c : digits) {
        const int d = digitValue(c);
        if (d < 0)
            return std::nullopt;
        minutes = minutes * 10 + d;
        if (minutes > 999)
            return std::nullopt;
    }
    return static_cast<int16_t>(minutes);
}

PasswordSettingsDialog::PasswordSettingsDialog(AppState& state, AppActions& actions,
                                               MessageBox& messages, KeyRing& keyRing,
                                               QWidget* parent)
    : QDialog(parent, kFixedDialogFlags),
      state_(state),
      actions_(actions),
      messages_(messages),
      keyRing_(keyRing) {
    setUpWindow(this, "passwordSettingsDialog", QStringLiteral("ﾊﾟｽﾜｰﾄﾞ変更"), QSize(312, 206));

    addLabel(this, "currentPasswordLabel", QStringLiteral("現在のﾊﾟｽﾜｰﾄﾞ"), QRect(8, 8, 97, 17));
    currentPasswordBox_ = addLineEdit(this, "currentPasswordBox", QRect(8, 24, 297, 18));
    addLabel(this, "newPasswordLabel", QStringLiteral("新しいﾊﾟｽﾜｰﾄﾞ"), QRect(8, 56, 97, 17));
    newPasswordBox_ = addLineEdit(this, "newPasswordBox", QRect(8, 72, 297, 18));
    addLabel(this, "confirmPasswordLabel", QStringLiteral("新しいﾊﾟｽﾜｰﾄﾞ(確認)"),
             QRect(8, 96, 137, 17));
    confirmPasswordBox_ = addLineEdit(this, "confirmPasswordBox", QRect(8, 112, 297, 18));
    for (QLineEdit* e : {currentPasswordBox_, newPasswordBox_, confirmPasswordBox_})
        setMasked(e, true);

    autoLoginCheck_ = new QCheckBox(QStringLiteral("起動時ｵｰﾄﾛｸﾞｲﾝ"), this);
    autoLoginCheck_->setObjectName(QStringLiteral("autoLoginCheck"));
    autoLoginCheck_->setGeometry(QRect(8, 152, 129, 20));
    // Encryption needs a master password to derive its key from.
    encryptCheck_ = new QCheckBox(QStringLiteral("データファイルを暗号化"), this);
    encryptCheck_->setObjectName(QStringLiteral("encryptCheck"));
    encryptCheck_->setGeometry(QRect(8, 131, 200, 20));
    encryptCheck_->setEnabled(false);
    connect(newPasswordBox_, &QLineEdit::textChanged, encryptCheck_,
            [this](const QString& text) { encryptCheck_->setEnabled(!text.isEmpty()); });
    changeButton_ =
        addButton(this, "changeButton", QStringLiteral("変更"), QRect(152, 168, 73, 33));
    cancelButton_ =
        addButton(this, "cancelButton", QStringLiteral("ｷｬﾝｾﾙ"), QRect(232, 168, 73, 33));
    addLabel(this, "autoLogoutLabel", QStringLiteral("ｵｰﾄﾛｸﾞｱｳﾄ"), QRect(8, 178, 65, 17));
    minutesBox_ = addLineEdit(this, "minutesBox", QRect(74, 176, 41, 19));
    minutesBox_->setMaxLength(3);
    addLabel(this, "minutesLabel", QStringLiteral("分"), QRect(120, 178, 17, 17));

    setTabOrder(currentPasswordBox_, newPasswordBox_);
    setTabOrder(newPasswordBox_, confirmPasswordBox_);
    setTabOrder(confirmPasswordBox_, changeButton_);
    setTabOrder(changeButton_, cancelButton_);
    setTabOrder(cancelButton_, minutesBox_);
    setTabOrder(minutesBox_, autoLoginCheck_);
    setTabOrder(autoLoginCheck_, encryptCheck_);
    currentPasswordBox_->setFocus();

    connect(changeButton_, &QPushButton::clicked, this, &PasswordSettingsDialog::onChange);
    connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);

    showSettings();
}

void PasswordSettingsDialog::showSettings() {
    // Start-up logs in by itself on any value but 0; a file may hold 2 to 9.
    autoLoginCheck_->setChecked(state_.settings.autoLoginAtStart != 0);
    minutesBox_->setText(QString::number(state_.settings.autoLogoutMinutes));
    encryptCheck_->setChecked(state_.dataFileEncrypted);
}

void PasswordSettingsDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QDialog::keyPressEvent(event);
        return;
    }
    QWidget* focus = focusWidget();
    if (focus == currentPasswordBox_)
        newPasswordBox_->setFocus(Qt::OtherFocusReason);
    else if (focus == newPasswordBox_)
        confirmPasswordBox_->setFocus(Qt::OtherFocusReason);
    else if (focus == confirmPasswordBox_)
        changeButton_->setFocus(Qt::OtherFocusReason);
    else if (auto* b = qobject_cast<QPushButton*>(focus))
        b->click();
}

void PasswordSettingsDialog::onChange() {
    const auto critical = [this](const QString& title, const QString& text) {
        messages_.show(this, QMessageBox::Critical, title, text, QMessageBox::Ok);
    };
    if (currentPasswordBox_->text() != state_.settings.masterPassword) {
        critical(QStringLiteral("ﾊﾟｽﾜｰﾄﾞｴﾗｰ"), QStringLiteral("ﾊﾟｽﾜｰﾄﾞが違います。"));
        return;
    }
    if (confirmPasswordBox_->text() != newPasswordBox_->text()) {
        critical(QStringLiteral("ﾊﾟｽﾜｰﾄﾞ不一致"),
                 QStringLiteral("新しいﾊﾟｽﾜｰﾄﾞと確認用ﾊﾟｽﾜｰﾄﾞが違います。"));
        return;
    }
    // A password that no prompt can give back, or that reads back as none, would lock the user
    // out or vanish at the next start.
    switch (masterPasswordRefusal(newPasswordBox_->text())) {
        case PasswordRefusal::None:
            break;
        case PasswordRefusal::LineEnd:
        case PasswordRefusal::LoneSurrogate:
            critical(QStringLiteral("ﾊﾟｽﾜｰﾄﾞｴﾗｰ"),
                     QStringLiteral("新しいﾊﾟｽﾜｰﾄﾞに改行などの入力できない文字は使えません。"));
            return;
        case PasswordRefusal::EmptyMarker:
            critical(QStringLiteral("ﾊﾟｽﾜｰﾄﾞｴﾗｰ"),
                     QStringLiteral("「Blank Passphrase!」は新しいﾊﾟｽﾜｰﾄﾞに使えません"
                                    "(ﾊﾟｽﾜｰﾄﾞなしの印です)。"));
            return;
    }
    const std::optional<int16_t> minutes = autoLogoutMinutesFromText(minutesBox_->text());
    if (!minutes) {
        critical(QStringLiteral("ｵｰﾄﾛｸﾞｱｳﾄ"),
                 // Short lines: a wrapped Japanese line may break inside a word.
                 QStringLiteral("ｵｰﾄﾛｸﾞｱｳﾄまでの分数は、\n"
                                "0 から 999 の整数で入力してください。\n"
                                "0 にするとｵｰﾄﾛｸﾞｱｳﾄしません。"));
        minutesBox_->setFocus(Qt::OtherFocusReason);
        minutesBox_->selectAll();
        return;
    }

    const bool encrypt = encryptCheck_->isEnabled() && encryptCheck_->isChecked();
    // An encrypted file that logs in by itself needs its key kept somewhere safe: without a
    // keyring the start would have to ask the password after all.
    if (encrypt && autoLoginCheck_->isChecked() && !keyRing_.available()) {
        critical(QStringLiteral("起動時ｵｰﾄﾛｸﾞｲﾝ"),
                 QStringLiteral("暗号化したデータファイルで起動時ｵｰﾄﾛｸﾞｲﾝを使うには、\n"
                                "デスクトップのキーリング (Secret Service) が必要ですが、\n"
                                "見つかりません。起動時ｵｰﾄﾛｸﾞｲﾝか暗号化の\n"
                                "どちらかを外してください。"));
        return;
    }

    const bool newMinutes = state_.settings.autoLogoutMinutes != *minutes;
    const QString oldPassword = state_.settings.masterPassword;
    state_.settings.masterPassword = newPasswordBox_->text();
    state_.settings.autoLoginAtStart = autoLoginCheck_->isChecked() ? 1 : 0;
    state_.settings.autoLogoutMinutes = *minutes;
    // Counted from the change: minutes shortened below the time already spent would otherwise
    // log out at the next tick, closing the message below before it can be read.
    if (newMinutes)
        actions_.restartLogoutCount();
    const bool wasEncrypted = state_.dataFileEncrypted;
    {
        const BusyCursor busy;  // a new key is measured and derived: about a second
        rekeyDataFile(state_, encrypt, oldPassword);
    }
    if (!saveDataFileOrReport(state_, actions_, messages_, this)) {
        accept();
        return;
    }
    messages_.show(this, QMessageBox::Warning, QStringLiteral("ﾊﾟｽﾜｰﾄﾞ変更"),
                   QStringLiteral("ﾊﾟｽﾜｰﾄﾞおよび設定が変更されました。"), QMessageBox::Ok);
    // Only a file that is or was encrypted has a key kept: a plain one never asks the keyring
    // (which might ask its user to unlock it).
    if (wasEncrypted || state_.dataFileEncrypted) {
        if (const auto failed = keepKeyForAutoLogin(state_, keyRing_))
            messages_.show(this, QMessageBox::Warning, QStringLiteral("起動時ｵｰﾄﾛｸﾞｲﾝ"),
                           QStringLiteral("キーリングに鍵を保存できませんでした。次の起動時には"
                                          "ﾊﾟｽﾜｰﾄﾞを尋ねます。\n\n理由: %1")
                               .arg(*failed),
                           QMessageBox::Ok);
    }
    accept();
}

}  // namespace sirano
