// The browser work of the tray program: capture ("記憶"), open-and-fill of a site menu item,
// the automatic fill of one window, and the one-second tick. Each runs under one error handler
// that logs with its place code and ends; nothing is shown to the user.
#pragma once

#include "ErrorLog.h"
#include "ObjectModel.h"
#include "store/AppState.h"
#include "store/MainWindowHooks.h"
#include "store/DateTimeText.h"

#include <cstdint>

namespace sirano {

// The shared matching rule of the fill on request and the automatic fill: location contains url
// (ignoring case) and, for an absolute http(s) url, the same origin.
bool urlMatches(const QString& locationUrl, const QString& storedUrl);

struct Automation {
    AppState& state;
    Browser& browser;
    ErrorLog& errorLog;
    MainWindowHooks& hooks;
    const Clock& clock;

    void mnuMemoryClick();                  // capture
    void mnuIpClick(int16_t index);         // open a stored site and fill it
    void autoFillWindow(BrowserWindow& w);  // automatic fill of one window
    void timer1Timer();                     // the one-second tick
};

}  // namespace sirano
