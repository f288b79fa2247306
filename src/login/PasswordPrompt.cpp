#include "PasswordPrompt.h"

#include "ui/Twips.h"

#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>

namespace sirano {
namespace {

// Masks typed characters with "*", whatever the style's own mask character is.
class AsteriskStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QPushButton* plainButton(const QString& text, const char* name, QRect geometry, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    // Enter belongs to the password box alone: no button answers it.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

}  // namespace

PasswordPrompt::PasswordPrompt(AppState& state, MainWindowHooks& hooks, MessageBox& messages,
                               int16_t mode, QWidget* parent)
    : QDialog(parent), state_(state), hooks_(hooks), messages_(messages), mode_(mode) {
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("ﾊﾟｽﾜｰﾄﾞ確認"));
    setFixedSize(twipsSize(4680, 1440));

    auto* label1 = new QLabel(QStringLiteral("ﾊﾟｽﾜｰﾄﾞ:"), this);
    label1->setObjectName(QStringLiteral("Label1"));
    label1->setGeometry(twipsRect(120, 120, 1455, 255));

    text1_ = new QLineEdit(this);
    text1_->setObjectName(QStringLiteral("Text1"));
    text1_->setGeometry(twipsRect(120, 360, 4455, 270));
    text1_->setEchoMode(QLineEdit::Password);
    text1_->setAttribute(Qt::WA_InputMethodEnabled, false);
    text1_->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText |
                                Qt::ImhNoAutoUppercase);
    // A child created after the box, so that it is deleted after the box that uses it.
    auto* asterisk = new AsteriskStyle;
    asterisk->setParent(this);
    text1_->setStyle(asterisk);

    auto* command1 =
        plainButton(QStringLiteral("OK"), "Command1", twipsRect(2280, 840, 1095, 495), this);
    auto* command2 =
        plainButton(QStringLiteral("ｷｬﾝｾﾙ"), "Command2", twipsRect(3480, 840, 1095, 495), this);

    setTabOrder(text1_, command2);
    setTabOrder(command2, command1);
    text1_->setFocus();

    connect(command1, &QPushButton::clicked, this, &PasswordPrompt::command1Click);
    connect(command2, &QPushButton::clicked, this, &QDialog::reject);
    connect(text1_, &QLineEdit::returnPressed, this, &PasswordPrompt::command1Click);
}

void PasswordPrompt::command1Click() {
    if (text1_->text() != state_.settings.masterPassword) {
        messages_.show(this, QMessageBox::Critical, QStringLiteral("ﾊﾟｽﾜｰﾄﾞｴﾗｰ"),
                       QStringLiteral("ﾊﾟｽﾜｰﾄﾞが違います。"), QMessageBox::Ok);
        return;
    }
    if (mode_ == LogIn)
        hooks_.login();
    else if (mode_ == Reveal)
        state_.asterisk = false;
    accept();
}

}  // namespace sirano
