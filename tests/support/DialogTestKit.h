// What the dialog tests share: typing, clicking and finding controls (and the recording main
// window's actions).
#pragma once

#include "RecordingActions.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QStringList>
#include <QWidget>
#include <stdexcept>

namespace sirano::test {

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
