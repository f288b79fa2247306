// A read or a write of one browser window, sent and answered at once.
#pragma once

#include "browser/ObjectModel.h"

namespace sirano::test {

inline PageSnapshot readNow(BrowserWindow& w) {
    return w.startRead()->take();
}

// Matched against the address the window shows now, as the fills match it.
inline WriteResult writeNow(BrowserWindow& w, const QList<FieldEdit>& edits) {
    return w.startWrite(edits, w.locationUrl())->take();
}

}  // namespace sirano::test
