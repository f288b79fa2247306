// The user's own browsers, reached through the companion extension: every tab of every connected
// browser is a window. Reads and writes run the same page functions as the DevTools route, in
// the extension's isolated world, and are refused by the extension when the tab has since loaded
// another page or moved to another address.
#pragma once

#include "ExtensionLink.h"
#include "browser/ObjectModel.h"

#include <chrono>
#include <memory>

namespace sirano {

class ExtensionBrowser final : public Browser {
public:
    // How long a command waits for the extension's answer.
    static constexpr std::chrono::milliseconds kCallTimeout{5000};

    explicit ExtensionBrowser(std::shared_ptr<ExtensionLink> link);

    QList<std::shared_ptr<BrowserWindow>> windows() override;
    // Whether an extension is connected now.
    bool answers() override;
    // A new tab of the first connected browser; none connected: SiranoError 429.
    void openInNewBrowser(const QString& url) override;

    const ExtensionLink& link() const { return *link_; }

private:
    std::shared_ptr<ExtensionLink> link_;
};

// The link at the user's socket and a browser over it; nullptr (with why) when the socket cannot
// be served, for instance because another SIRANO serves it.
std::unique_ptr<ExtensionBrowser> createExtensionBrowser(QString* why);

}  // namespace sirano
