// What the benchmarks of the browser work share: an error log that prints and counts, and the
// tray's actions doing nothing (no data file is saved, no menu rebuilt).
#pragma once

#include "app/AppActions.h"
#include "browser/ErrorLog.h"

#include <cstdio>

namespace sirano::bench {

class CountingLog final : public ErrorLog {
public:
    void logError(int16_t placeCode, int32_t errNumber) override {
        std::printf("  error.log: place %d, error %d\n", placeCode, errNumber);
        ++count;
    }
    int count = 0;
};

class QuietActions final : public AppActions {
public:
    void saveDataFile() override {}
    void rebuildSiteMenu() override {}
    void login() override {}
    void logout() override {}
    void restartLogoutCount() override {}
};

}  // namespace sirano::bench
