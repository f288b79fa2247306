// What the tray program's benchmarks share: a message box that prints (and BrowserWorkKit.h).
#pragma once

#include "bench/BrowserWorkKit.h"
#include "ui/MessageBox.h"

#include <cstdio>

namespace sirano::bench {

class PrintingMessageBox final : public MessageBox {
public:
    QMessageBox::StandardButton show(QWidget*, QMessageBox::Icon, const QString& title,
                                     const QString& text, QMessageBox::StandardButtons) override {
        std::fprintf(stderr, "message box: %s: %s\n", qPrintable(title), qPrintable(text));
        return QMessageBox::Ok;
    }
};

}  // namespace sirano::bench
