// A message box that records what was asked and answers from a queue (default: the first button).
#pragma once

#include "ui/MessageBox.h"

#include <QList>
#include <QString>
#include <functional>
#include <utility>

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
    // Runs once while the next box is open, as the events a real box lets through would.
    std::function<void()> whileOpen;

    QMessageBox::StandardButton show(QWidget*, QMessageBox::Icon icon, const QString& title,
                                     const QString& text,
                                     QMessageBox::StandardButtons buttons) override {
        asked.append({icon, title, text, buttons});
        if (const auto run = std::exchange(whileOpen, nullptr))
            run();
        if (!answers.isEmpty())
            return answers.takeFirst();
        for (auto b : {QMessageBox::Ok, QMessageBox::Yes, QMessageBox::Cancel, QMessageBox::No})
            if (buttons.testFlag(b))
                return b;
        return QMessageBox::NoButton;
    }
};

}  // namespace sirano::test
