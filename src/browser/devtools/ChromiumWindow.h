// A page of the browser as a BrowserWindow, and its reads and writes under way.
#pragma once

#include "ChromiumCore.h"

#include <memory>

namespace sirano {

std::shared_ptr<BrowserWindow> makeChromiumWindow(std::shared_ptr<ChromiumBrowser::Core> core,
                                                  std::shared_ptr<TrackedPage> page);

}  // namespace sirano
