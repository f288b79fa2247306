#include "BrowserChoice.h"

namespace sirano {

QList<std::shared_ptr<BrowserWindow>> BrowserChoice::windows() {
    return current().windows();
}

bool BrowserChoice::answers() {
    return preferred_->answers() || fallback_->answers();
}

void BrowserChoice::openInNewBrowser(const QString& url) {
    current().openInNewBrowser(url);
}

void BrowserChoice::startNewBrowser(const QString& url, StartDone done) {
    current().startNewBrowser(url, std::move(done));
}

void BrowserChoice::forgetWrites() {
    preferred_->forgetWrites();
    fallback_->forgetWrites();
}

}  // namespace sirano
