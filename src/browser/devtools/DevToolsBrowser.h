// Chromium driven through its DevTools protocol, as the browser of the capture and the fills.
#pragma once

#include "browser/ObjectModel.h"

#include <QString>
#include <memory>
#include <optional>

namespace sirano {

// The browser found through <profileFolder>/DevToolsActivePort (the program's own profile), or at
// a given loopback port; either only when the port's listener belongs to our own user.
// openInNewBrowser() starts Chromium detached on profileFolder, without the address, and opens
// the address over the protocol once the browser listens.
std::unique_ptr<Browser> createChromiumBrowser(const QString& profileFolder,
                                               std::optional<quint16> port = std::nullopt);

}  // namespace sirano
