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

namespace {

void showSaveFailure(const AppState& state, const SiranoError& error, MessageBox& messages,
                     QWidget* parent, const QString& consequence) {
    QString detail;
    if (const auto* e = dynamic_cast<const SaveError*>(&error)) {
        const QString file = e->file().isEmpty() ? state.dataFilePath : e->file();
        detail = QStringLiteral("ファイル: %1\n理由: %2")
                     .arg(QDir::toNativeSeparators(file), e->reasonText(Language::Japanese));
    } else {
        // Not the store's own failure: its message is all there is to show.
        detail = error.message();
        if (!detail.contains(state.dataFilePath))
            detail = state.dataFilePath + QStringLiteral(": ") + detail;
    }
    messages.show(parent, QMessageBox::Critical, QStringLiteral("保存エラー"),
                  QStringLiteral("データファイルを保存できませんでした。\n\n%1\n\n%2")
                      .arg(detail, consequence),
                  QMessageBox::Ok);
}

}  // namespace

QString breakable(const QString& text) {
    constexpr int kRun = 30;
    QString out;
    out.reserve(text.size() + text.size() / kRun);
    int run = 0;
    for (const QChar c : text) {
        out.append(c);
        run = c.isSpace() || c == QChar(0x200B) ? 0 : run + 1;
        if (run == kRun) {
            out.append(QChar(0x200B));
            run = 0;
        }
    }
    return out;
}

bool saveDataFileOrReport(const AppState& state, AppActions& actions, MessageBox& messages,
                          QWidget* parent) {
    try {
        actions.saveDataFile();
        return true;
    } catch (const SiranoError& e) {
        showSaveFailure(
            state, e, messages, parent,
            QStringLiteral("変更はこの実行中だけ有効で、ファイルには書かれていません。"));
        return false;
    }
}

void reportCaptureNotSaved(const AppState& state, std::exception_ptr failure,
                           MessageBox& messages) {
    try {
        std::rethrow_exception(std::move(failure));
    } catch (const SiranoError& e) {
        showSaveFailure(state, e, messages, nullptr,
                        QStringLiteral("記憶したサイトは保存も追加もされていません。"));
    }
}

}  // namespace sirano
