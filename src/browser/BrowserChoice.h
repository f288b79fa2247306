// The browser the tray works with: the user's own browsers through the companion extension while
// one is connected, else SIRANO's own Chromium. Asked afresh at every call, so a browser whose
// extension connects or goes away is taken or left at the next tick.
#pragma once

#include "ObjectModel.h"

#include <memory>

namespace sirano {

class BrowserChoice final : public Browser {
public:
    BrowserChoice(std::unique_ptr<Browser> preferred, std::unique_ptr<Browser> fallback)
        : preferred_(std::move(preferred)), fallback_(std::move(fallback)) {}

    QList<std::shared_ptr<BrowserWindow>> windows() override;
    bool answers() override;
    void openInNewBrowser(const QString& url) override;
    void startNewBrowser(const QString& url, StartDone done) override;
    void forgetWrites() override;

private:
    Browser& current() { return preferred_->answers() ? *preferred_ : *fallback_; }

    std::unique_ptr<Browser> preferred_;
    std::unique_ptr<Browser> fallback_;
};

}  // namespace sirano
