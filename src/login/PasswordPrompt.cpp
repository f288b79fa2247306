#include "PasswordPrompt.h"

#include "ui/Controls.h"
#include "ui/Twips.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace sirano {

PasswordPrompt::PasswordPrompt(AppState& state, AppActions& actions, MessageBox& messages,
                               int16_t mode, QWidget* parent)
    : QDialog(parent), state_(state), actions_(actions), messages_(messages), mode_(mode) {
    setUpWindow(this, "Form4", QStringLiteral("ﾊﾟｽﾜｰﾄﾞ確認"), twipsSize(4680, 1440));

    addLabel(this, "Label1", QStringLiteral("ﾊﾟｽﾜｰﾄﾞ:"), twipsRect(120, 120, 1455, 255));
    text1_ = addLineEdit(this, "Text1", twipsRect(120, 360, 4455, 270));
    setMasked(text1_, true);

    // Neither button is a default button: Enter in the box is OK through the box's own signal.
    auto* command1 =
        addButton(this, "Command1", QStringLiteral("OK"), twipsRect(2280, 840, 1095, 495));
    auto* command2 =
        addButton(this, "Command2", QStringLiteral("ｷｬﾝｾﾙ"), twipsRect(3480, 840, 1095, 495));

    setTabOrder(text1_, command2);
    setTabOrder(command2, command1);
    text1_->setFocus();

    connect(command1, &QPushButton::clicked, this, &PasswordPrompt::command1Click);
    connect(command2, &QPushButton::clicked, this, &QDialog::reject);
    connect(text1_, &QLineEdit::returnPressed, this, &PasswordPrompt::command1Click);
}

void PasswordPrompt::keyPressEvent(QKeyEvent* event) {
    if (!pressFocusedButtonOnEnter(this, event))
        QDialog::keyPressEvent(event);
}

void PasswordPrompt::command1Click() {
    if (text1_->text() != state_.settings.masterPassword) {
        messages_.show(this, QMessageBox::Critical, QStringLiteral("ﾊﾟｽﾜｰﾄﾞｴﾗｰ"),
                       QStringLiteral("ﾊﾟｽﾜｰﾄﾞが違います。"), QMessageBox::Ok);
        return;
    }
    if (mode_ == LogIn)
        actions_.login();
    accept();
}

}  // namespace sirano
