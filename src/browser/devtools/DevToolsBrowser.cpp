#include "DevToolsBrowser.h"

#include "ChromiumBrowser.h"

namespace sirano {

std::unique_ptr<Browser> createChromiumBrowser(const QString& profileFolder,
                                               std::optional<quint16> port) {
    ChromiumBrowser::Options options;
    options.profileFolder = profileFolder;
    options.port = port;
    return std::make_unique<ChromiumBrowser>(std::move(options));
}

}  // namespace sirano
