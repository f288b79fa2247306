// What the tray program's benchmarks share: a message box and an error log that print.
#pragma once

#include "browser/ErrorLog.h"
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

class CountingLog final : public ErrorLog {
public:
    void logError(int16_t placeCode, int32_t errNumber) override {
        std::printf("  error.log: place %d, error %d\n", placeCode, errNumber);
        ++count;
    }
    int count = 0;
};

}  // namespace sirano::bench
