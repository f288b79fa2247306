// What the dialog tests share: a recording main window, typing, clicking and finding controls.
#pragma once

#include "app/AppActions.h"
#include "store/Error.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <stdexcept>

namespace sirano::test {

// Records the main window's procedures in the order they were called; a save can be made to fail
// or to look at the state it would write.
class FakeActions final : public AppActions {
public:
    QStringList calls;
    bool failSave = false;
    std::function<void()> onSave;

    void saveSirano() override {
        calls << QStringLiteral("save");
        if (onSave)
            onSave();
        if (failSave)
            throw SiranoError(
                err::kPathFileAccess,
                QStringLiteral("Cannot write /readonly/SIRANO.DAT: Permission denied"));
    }
    void menuSirano() override { calls << QStringLiteral("menu"); }
    void login() override { calls << QStringLiteral("login"); }
    void logout() override { calls << QStringLiteral("logout"); }
};

// The named control; a missing one fails loudly instead of crashing the test.
template <typename W>
W* control(const QWidget& dialog, const QString& name) {
    W* w = dialog.findChild<W*>(name);
    if (!w)
        throw std::logic_error("no control " + name.toStdString());
    return w;
}

// Types text the way a keyboard would (QTest::keyClicks cannot send Japanese text).
inline void typeText(QWidget* widget, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

inline void click(const QWidget& dialog, const QString& button) {
    control<QAbstractButton>(dialog, button)->click();
}

}  // namespace sirano::test
