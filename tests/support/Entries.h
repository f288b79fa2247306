// Site entries and fields in one line each.
#pragma once

#include "store/SiteTable.h"

#include <QList>

namespace sirano::test {

inline SiteField field(int form, int element, const QString& type, const QString& name,
                       const QString& value) {
    return {static_cast<int16_t>(form), static_cast<int16_t>(element), type, name, value};
}

// Fields: any container of SiteField, in column order.
template <typename Fields = QList<SiteField>>
SiteEntry entry(const QString& title, const QString& url, const QString& keyword = {},
                const Fields& fields = {}) {
    SiteEntry e;
    e.title = title;
    e.url = url;
    e.urlKeyword = keyword;
    int j = 0;
    for (const SiteField& f : fields)
        e.setField(j++, f);
    return e;
}

}  // namespace sirano::test
