// What the store benchmarks share: the full table they measure and the median of timed runs.
#pragma once

#include "support/StoreFiles.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace sirano::bench {

// The median time of runs calls of f, in milliseconds.
inline double medianMs(int runs, const std::function<void()>& f) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// A full table: 1001 entries x 101 fields, 20-character values, and a master password.
inline test::TestStore fullTable() {
    test::TestStore state;
    state.settings.masterPassword = QStringLiteral("benchmark");
    state.settings.autoLogoutMinutes = 30;
    const QString alphabet =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    for (int i = 0; i < kTableSlots; ++i) {
        SiteEntry e;
        e.title = QStringLiteral("Site number %1 - log in").arg(i);
        e.url = QStringLiteral("https://www.site%1.example/account/login").arg(i);
        e.urlKeyword = QStringLiteral("login");
        for (int j = 0; j < kFieldColumns; ++j) {
            QString value;
            for (int c = 0; c < 20; ++c)
                value += alphabet[(i * 7 + j * 13 + c * 31) % alphabet.size()];
            e.setField(j,
                       SiteField{static_cast<int16_t>(j / 20), static_cast<int16_t>(j),
                                 QStringLiteral("text"), QStringLiteral("field%1").arg(j), value});
        }
        state.siteTable.append(std::move(e));
    }
    return state;
}

}  // namespace sirano::bench
