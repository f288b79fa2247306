#include "Controls.h"

#include "store/DataFile.h"
#include "store/Error.h"

#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace sirano {

QFont dialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                      QStringLiteral("IPAPGothic")});
    font.setPointSizeF(9.75);
    return font;
}

void setUpWindow(QWidget* window, const char* name, const QString& caption, QSize clientSize) {
    window->setObjectName(QLatin1String(name));
    window->setWindowTitle(caption);
    window->setFont(dialogFont());
    window->setFixedSize(clientSize);
}

QLabel* addLabel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    return label;
}

QLineEdit* addLineEdit(QWidget* parent, const char* name, QRect geometry) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(geometry);
    return box;
}

QPushButton* addButton(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

bool pressFocusedButtonOnEnter(QWidget* window, const QKeyEvent* event) {
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return false;
    if (auto* button = qobject_cast<QPushButton*>(window->focusWidget()))
        button->click();
    return true;
}

void setMasked(QLineEdit* box, bool masked) {
    box->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    box->setEchoMode(masked ? QLineEdit::Password : QLineEdit::Normal);
    // setEchoMode() turns the input method back on for plain text; these boxes keep it off.
    box->setAttribute(Qt::WA_InputMethodEnabled, false);
    box->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText |
                             Qt::ImhNoAutoUppercase);
}

bool saveDataFileOrReport(const AppState& state, AppActions& actions, MessageBox& messages,
                          QWidget* parent) {
    const auto report = [&](const QString& detail) {
        messages.show(parent, QMessageBox::Critical, QStringLiteral("保存エラー"),
                      QStringLiteral("データファイルを保存できませんでした。\n\n%1\n\n"
                                     "変更はこの実行中だけ有効で、ファイルには書かれていません。")
                          .arg(detail),
                      QMessageBox::Ok);
    };
    try {
        actions.saveDataFile();
        return true;
    } catch (const SaveError& e) {
        const QString file = e.file().isEmpty() ? state.dataFilePath : e.file();
        report(QStringLiteral("ファイル: %1\n理由: %2")
                   .arg(QDir::toNativeSeparators(file), e.reasonText(Language::Japanese)));
        return false;
    } catch (const SiranoError& e) {
        // Not the store's own failure: its message is all there is to show.
        QString detail = e.message();
        if (!detail.contains(state.dataFilePath))
            detail = state.dataFilePath + QStringLiteral(": ") + detail;
        report(detail);
        return false;
    }
}

}  // namespace sirano
