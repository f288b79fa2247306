#include "PasswordSettingsDialog.h"

#include "store/DataFile.h"
#include "store/Error.h"
#include "ui/Controls.h"
#include "ui/Twips.h"

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
                                               MessageBox& messages, QWidget* parent)
    : QDialog(parent, kFixedDialogFlags), state_(state), actions_(actions), messages_(messages) {
    setUpWindow(this, "Form3", QStringLiteral("ﾊﾟｽﾜｰﾄﾞ変更"), twipsSize(4680, 3090));

    addLabel(this, "Label1", QStringLiteral("現在のﾊﾟｽﾜｰﾄﾞ"), twipsRect(120, 120, 1455, 255));
    text1_ = addLineEdit(this, "Text1", twipsRect(120, 360, 4455, 270));
    addLabel(this, "Label2(0)", QStringLiteral("新しいﾊﾟｽﾜｰﾄﾞ"), twipsRect(120, 840, 1455, 255));
    text2_[0] = addLineEdit(this, "Text2(0)", twipsRect(120, 1080, 4455, 270));
    addLabel(this, "Label2(1)", QStringLiteral("新しいﾊﾟｽﾜｰﾄﾞ(確認)"),
             twipsRect(120, 1440, 2055, 255));
    text2_[1] = addLineEdit(this, "Text2(1)", twipsRect(120, 1680, 4455, 270));
    for (QLineEdit* e : {text1_, text2_[0], text2_[1]})
        setMasked(e, true);

    check1_ = new QCheckBox(QStringLiteral("起動時ｵｰﾄﾛｸﾞｲﾝ"), this);
    check1_->setObjectName(QStringLiteral("Check1"));
    check1_->setGeometry(twipsRect(120, 2280, 1935, 300));
    command1_ =
        addButton(this, "Command1", QStringLiteral("変更"), twipsRect(2280, 2520, 1095, 495));
    command2_ =
        addButton(this, "Command2", QStringLiteral("ｷｬﾝｾﾙ"), twipsRect(3480, 2520, 1095, 495));
    addLabel(this, "Label3(0)", QStringLiteral("ｵｰﾄﾛｸﾞｱｳﾄ"), twipsRect(120, 2670, 975, 255));
    text3_ = addLineEdit(this, "Text3", twipsRect(1110, 2640, 615, 285));
    text3_->setMaxLength(3);
    addLabel(this, "Label3(1)", QStringLiteral("分"), twipsRect(1800, 2670, 255, 255));

    setTabOrder(text1_, text2_[0]);
    setTabOrder(text2_[0], text2_[1]);
    setTabOrder(text2_[1], command1_);
    setTabOrder(command1_, command2_);
    setTabOrder(command2_, text3_);
    setTabOrder(text3_, check1_);
    text1_->setFocus();

    connect(command1_, &QPushButton::clicked, this, &PasswordSettingsDialog::command1Click);
    connect(command2_, &QPushButton::clicked, this, &QDialog::reject);

    formLoad();
}

void PasswordSettingsDialog::formLoad() {
    // Start-up logs in by itself on any value but 0; a file may hold 2 to 9.
    check1_->setChecked(state_.settings.autoLoginAtStart != 0);
    text3_->setText(QString::number(state_.settings.autoLogoutMinutes));
}

void PasswordSettingsDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QDialog::keyPressEvent(event);
        return;
    }
    QWidget* focus = focusWidget();
    if (focus == text1_)
        text2_[0]->setFocus(Qt::OtherFocusReason);
    else if (focus == text2_[0])
        text2_[1]->setFocus(Qt::OtherFocusReason);
    else if (focus == text2_[1])
        command1_->setFocus(Qt::OtherFocusReason);
    else if (auto* b = qobject_cast<QPushButton*>(focus))
        b->click();
}

void PasswordSettingsDialog::command1Click() {
    const auto critical = [this](const QString& title, const QString& text) {
        messages_.show(this, QMessageBox::Critical, title, text, QMessageBox::Ok);
    };
    if (text1_->text() != state_.settings.masterPassword) {
        critical(QStringLiteral("ﾊﾟｽﾜｰﾄﾞｴﾗｰ"), QStringLiteral("ﾊﾟｽﾜｰﾄﾞが違います。"));
        return;
    }
    if (text2_[1]->text() != text2_[0]->text()) {
        critical(QStringLiteral("ﾊﾟｽﾜｰﾄﾞ不一致"),
                 QStringLiteral("新しいﾊﾟｽﾜｰﾄﾞと確認用ﾊﾟｽﾜｰﾄﾞが違います。"));
        return;
    }
    // A password that no prompt can give back, or that reads back as none, would lock the user
    // out or vanish at the next start.
    switch (masterPasswordRefusal(text2_[0]->text())) {
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
    const std::optional<int16_t> minutes = autoLogoutMinutesFromText(text3_->text());
    if (!minutes) {
        critical(QStringLiteral("ｵｰﾄﾛｸﾞｱｳﾄ"),
                 // Short lines: a wrapped Japanese line may break inside a word.
                 QStringLiteral("ｵｰﾄﾛｸﾞｱｳﾄまでの分数は、\n"
                                "0 から 999 の整数で入力してください。\n"
                                "0 にするとｵｰﾄﾛｸﾞｱｳﾄしません。"));
        text3_->setFocus(Qt::OtherFocusReason);
        text3_->selectAll();
        return;
    }

    state_.settings.masterPassword = text2_[0]->text();
    state_.settings.autoLoginAtStart = check1_->isChecked() ? 1 : 0;
    state_.settings.autoLogoutMinutes = *minutes;
    if (saveSiranoOrReport(state_, actions_, messages_, this))
        messages_.show(this, QMessageBox::Warning, QStringLiteral("ﾊﾟｽﾜｰﾄﾞ変更"),
                       QStringLiteral("ﾊﾟｽﾜｰﾄﾞおよび設定が変更されました。"), QMessageBox::Ok);
    accept();
}

}  // namespace sirano
