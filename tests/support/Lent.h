// The tray program owns its browser and its error log; these lend it ones that the test keeps.
#pragma once

#include "browser/ErrorLog.h"
#include "browser/ObjectModel.h"

namespace sirano::test {

class LentBrowser final : public Browser {
public:
    explicit LentBrowser(Browser& b) : b_(b) {}
    QList<std::shared_ptr<BrowserWindow>> windows() override { return b_.windows(); }
    bool answers() override { return b_.answers(); }
    void openInNewBrowser(const QString& url) override { b_.openInNewBrowser(url); }
    void startNewBrowser(const QString& url, StartDone done) override {
        b_.startNewBrowser(url, std::move(done));
    }
    void forgetWrites() override { b_.forgetWrites(); }

private:
    Browser& b_;
};

class LentLog final : public ErrorLog {
public:
    explicit LentLog(ErrorLog& l) : l_(l) {}
    void logError(int16_t placeCode, int32_t errNumber) override {
        l_.logError(placeCode, errNumber);
    }

private:
    ErrorLog& l_;
};

}  // namespace sirano::test
