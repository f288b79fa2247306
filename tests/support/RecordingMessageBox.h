// A message box that records what was asked and answers from a queue (default: the first button).
#pragma once

#include "ui/MessageBox.h"

#include <QList>
#include <QString>

namespace sirano::test {

struct AskedBox {
    QMessageBox::Icon icon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
};

class RecordingMessageBox final : public MessageBox {
public:
    QList<AskedBox> asked;
    QList<QMessageBox::StandardButton> answers;  // consumed front first

    QMessageBox::StandardButton show(QWidget*, QMessageBox::Icon icon, const QString& title,
                                     const QString& text,
                                     QMessageBox::StandardButtons buttons) override {
        asked.append({icon, title, text, buttons});
        if (!answers.isEmpty())
            return answers.takeFirst();
        for (auto b : {QMessageBox::Ok, QMessageBox::Yes, QMessageBox::Cancel, QMessageBox::No})
            if (buttons.testFlag(b))
                return b;
        return QMessageBox::NoButton;
    }
};

}  // namespace sirano::test
