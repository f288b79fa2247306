// The browser the tray works with: the user's own browsers through the companion extension while
// one is connected, else SIRANO's own Chromium. Asked afresh at every call, so a browser whose
// extension connects or goes away is taken or left at the next tick.
#pragma once

#include "ObjectModel.h"

namespace sirano {

class BrowserChoice final : public Browser {
public:
    // Both outlive this object.
    BrowserChoice(Browser& preferred, Browser& fallback)
        : preferred_(preferred), fallback_(fallback) {}

    QList<std::shared_ptr<BrowserWindow>> windows() override;
    bool answers() override;
    void openInNewBrowser(const QString& url) override;
    void startNewBrowser(const QString& url, StartDone done) override;
    void forgetWrites() override;

private:
    Browser& current() { return preferred_.answers() ? preferred_ : fallback_; }

    Browser& preferred_;
    Browser& fallback_;
};

}  // namespace sirano
