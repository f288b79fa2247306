// Site entries and fields in one line each.
#pragma once

#include "store/SiteTable.h"

#include <QList>

namespace sirano::test {

inline SiteField field(int form, int element, const QString& type, const QString& name,
                       const QString& value) {
    return {static_cast<int16_t>(form), static_cast<int16_t>(element), type, name, value};
}

inline SiteEntry entry(const QString& title, const QString& url, const QString& keyword = {},
                       const QList<SiteField>& fields = {}) {
    SiteEntry e;
    e.title = title;
    e.url = url;
    e.urlKeyword = keyword;
    for (qsizetype j = 0; j < fields.size(); ++j)
        e.setField(static_cast<int>(j), fields[j]);
    return e;
}

}  // namespace sirano::test
