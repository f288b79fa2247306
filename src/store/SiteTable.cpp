#include "SiteTable.h"

#include "Error.h"
#include "SecretBytes.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace sirano {
namespace {

[[noreturn]] void outOfRange(const char* what, int index) {
    throw SiranoError(
        err::kSubscriptOutOfRange,
        QStringLiteral("Subscript out of range: %1 %2").arg(QLatin1String(what)).arg(index));
}

}  // namespace

bool FilledWindows::contains(int32_t windowId) const {
    return std::find(windowIds_.begin(), windowIds_.end(), windowId) != windowIds_.end();
}

void FilledWindows::insert(int32_t windowId) {
    if (!contains(windowId))
        windowIds_.push_back(windowId);
}

void FilledWindows::erase(int32_t windowId) {
    std::erase(windowIds_, windowId);
}

namespace {

bool fitsLatin1(QAnyStringView text) {
    return text.visit([](auto view) {
        if constexpr (std::is_same_v<decltype(view), QLatin1StringView>) {
            return true;
        } else if constexpr (std::is_same_v<decltype(view), QStringView>) {
            return std::all_of(view.begin(), view.end(),
                               [](QChar c) { return c.unicode() <= 0xFF; });
        } else {
            return fitsLatin1(view.toString());
        }
    });
}

}  // namespace

void SiteEntry::checkColumn(int j) const {
    if (j < 0 || j >= fieldCount())
        outOfRange("field", j);
}

std::pair<uint32_t, uint32_t> SiteEntry::span(int j, Text t) const {
    const auto which = static_cast<size_t>(t);
    return {which == 0 ? startOf(j) : endOf(j, which - 1), endOf(j, which)};
}

void SiteEntry::copyFieldText(int j, Text t, QString& out) const {
    checkColumn(j);
    const auto [begin, end] = span(j, t);
    const auto length = static_cast<qsizetype>(end - begin);
    if (narrow_) {
        out = QLatin1StringView(texts_.constData() + begin, length);
    } else {
        out.resize(length);
        std::memcpy(out.data(), texts_.constData() + 2 * qsizetype{begin}, 2 * size_t(length));
    }
}

QString SiteEntry::text(int j, Text t) const {
    QString out;
    copyFieldText(j, t, out);
    return out;
}

const SiteField SiteEntry::field(int j) const {
    checkColumn(j);
    return {formIndex(j), elementIndex(j), text(j, Text::Type), text(j, Text::Name),
            text(j, Text::Value)};
}

std::vector<SiteField> SiteEntry::fields() const {
    std::vector<SiteField> out;
    out.reserve(static_cast<size_t>(fieldCount()));
    for (int j = 0; j < fieldCount(); ++j)
        out.push_back(field(j));
    return out;
}

int16_t SiteEntry::formIndex(int j) const {
    checkColumn(j);
    return static_cast<int16_t>(cellsOf(j)[0]);
}

int16_t SiteEntry::elementIndex(int j) const {
    checkColumn(j);
    return static_cast<int16_t>(cellsOf(j)[1]);
}

QString SiteEntry::fieldType(int j) const {
    return text(j, Text::Type);
}

QString SiteEntry::fieldName(int j) const {
    return text(j, Text::Name);
}

QString SiteEntry::fieldValue(int j) const {
    return text(j, Text::Value);
}

bool SiteEntry::isCheckbox(int j) const {
    return text(j, Text::Type).compare(QLatin1String("checkbox"), Qt::CaseInsensitive) == 0;
}

void SiteEntry::widen() {
    QByteArray wide(2 * texts_.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < texts_.size(); ++i) {
        const char16_t u = static_cast<uint8_t>(texts_[i]);
        std::memcpy(wide.data() + 2 * i, &u, 2);
    }
    texts_ = std::move(wide);
    narrow_ = false;
}

// Only an entry of more than 65535 characters needs it, so this copy is rare.
void SiteEntry::widenEnds() {
    QList<uint16_t> wide;
    wide.reserve(cells_.size() / qsizetype{kNarrowStride} * qsizetype{kWideStride});
    for (qsizetype at = 0; at < cells_.size(); at += qsizetype{kNarrowStride}) {
        wide.push_back(cells_.at(at));
        wide.push_back(cells_.at(at + 1));
        for (qsizetype which = 0; which < 3; ++which) {
            wide.push_back(cells_.at(at + 2 + which));
            wide.push_back(0);
        }
    }
    cells_ = std::move(wide);
    wideEnds_ = true;
}

void SiteEntry::append(QAnyStringView text) {
    text.visit([this](auto view) {
        if constexpr (std::is_same_v<decltype(view), QLatin1StringView>) {
            if (narrow_) {
                texts_.append(view.data(), view.size());
            } else {
                for (char c : view) {
                    const char16_t u = static_cast<uint8_t>(c);
                    texts_.append(reinterpret_cast<const char*>(&u), 2);
                }
            }
        } else if constexpr (std::is_same_v<decltype(view), QStringView>) {
            if (narrow_) {
                const qsizetype at = texts_.size();
                texts_.resize(at + view.size());
                char* out = texts_.data() + at;
                for (QChar c : view)
                    *out++ = static_cast<char>(c.unicode());
            } else {
                texts_.append(reinterpret_cast<const char*>(view.utf16()), 2 * view.size());
            }
        } else {
            append(view.toString());
        }
    });
}

void SiteEntry::appendField(int16_t formIndex, int16_t elementIndex, QAnyStringView type,
                            QAnyStringView name, QAnyStringView value) {
    if (fieldCount() >= kFieldColumns)
        outOfRange("field", fieldCount());
    if (narrow_ && !(fitsLatin1(type) && fitsLatin1(name) && fitsLatin1(value)))
        widen();
    std::array<uint32_t, 3> ends{};
    const QAnyStringView texts[] = {type, name, value};
    for (size_t t = 0; t < 3; ++t) {
        append(texts[t]);
        ends[t] = static_cast<uint32_t>(narrow_ ? texts_.size() : texts_.size() / 2);
    }
    if (!wideEnds_ && ends[2] > UINT16_MAX)
        widenEnds();
    std::array<uint16_t, kWideStride> cells{static_cast<uint16_t>(formIndex),
                                            static_cast<uint16_t>(elementIndex)};
    size_t n = 2;
    for (const uint32_t end : ends) {
        cells[n++] = static_cast<uint16_t>(end);
        if (wideEnds_)
            cells[n++] = static_cast<uint16_t>(end >> 16);
    }
    const qsizetype at = cells_.size();
    cells_.resize(at + static_cast<qsizetype>(n));
    std::copy_n(cells.data(), n, cells_.data() + at);
}

void SiteEntry::setField(int j, const SiteField& f) {
    if (j < 0 || j >= kFieldColumns)
        outOfRange("field", j);
    if (j >= fieldCount()) {
        setFieldCount(j);
        appendField(f.formIndex, f.elementIndex, f.fieldType, f.fieldName, f.fieldValue);
        return;
    }
    // Rare (the settings dialog): the entry is written again from a copy.
    std::vector<SiteField> all = fields();
    all[static_cast<size_t>(j)] = f;
    cells_.clear();
    texts_.clear();
    narrow_ = true;
    wideEnds_ = false;
    for (const SiteField& g : all)
        appendField(g.formIndex, g.elementIndex, g.fieldType, g.fieldName, g.fieldValue);
}

void SiteEntry::setFieldName(int j, QStringView name) {
    SiteField f = field(j);
    f.fieldName = name.toString();
    setField(j, f);
}

void SiteEntry::setFieldValue(int j, QStringView value) {
    SiteField f = field(j);
    f.fieldValue = value.toString();
    setField(j, f);
}

void SiteEntry::setFieldCount(int n) {
    if (n < 0 || n > kFieldColumns)
        outOfRange("field count", n);
    if (n < fieldCount()) {
        texts_.truncate(qsizetype{startOf(n)} * (narrow_ ? 1 : 2));
        cells_.resize(static_cast<qsizetype>(stride()) * n);
    }
    while (fieldCount() < n)
        appendField(0, 0, {}, {}, {});
}

void SiteEntry::reserve(int fields, qsizetype textLength) {
    cells_.reserve(static_cast<qsizetype>(stride()) * fields);
    texts_.reserve(narrow_ ? textLength : 2 * textLength);
}

void SiteEntry::shrinkToFit() {
    cells_.squeeze();
    texts_.squeeze();
}

void SiteEntry::clear() {
    title.clear();
    url.clear();
    urlKeyword.clear();
    cells_.clear();
    texts_.clear();
    narrow_ = true;
    wideEnds_ = false;
    filledWindows.clear();
}

void SiteEntry::wipe() {
    for (QString* text : {&title, &url, &urlKeyword})
        sirano::wipe(*text);
    sirano::wipe(texts_);
    clear();
}

bool SiteEntry::operator==(const SiteEntry& o) const {
    if (title != o.title || url != o.url || urlKeyword != o.urlKeyword ||
        fieldCount() != o.fieldCount())
        return false;
    // The same fields can be packed in two ways after a change.
    if (narrow_ != o.narrow_ || wideEnds_ != o.wideEnds_)
        return fields() == o.fields();
    // Not QList's ==: it hands memcmp the null data of a list that never held anything.
    return texts_ == o.texts_ &&
           std::equal(cells_.cbegin(), cells_.cend(), o.cells_.cbegin(), o.cells_.cend());
}

SiteTable::SiteTable() : slots_(kTableSlots) {}

void SiteTable::setSiteCount(int n) {
    if (n < 0 || n > kTableSlots)
        outOfRange("site count", n);
    siteCount_ = static_cast<int16_t>(n);
}

SiteEntry& SiteTable::at(int i) {
    return const_cast<SiteEntry&>(std::as_const(*this).at(i));
}

const SiteEntry& SiteTable::at(int i) const {
    if (i < 0 || i >= kTableSlots)
        outOfRange("site", i);
    return slots_[static_cast<size_t>(i)];
}

SiteEntry& SiteTable::append(SiteEntry e) {
    SiteEntry& slot = at(siteCount_);
    slot = std::move(e);
    slot.shrinkToFit();
    ++siteCount_;
    return slot;
}

void SiteTable::remove(int i) {
    if (i < 0 || i >= siteCount_)
        outOfRange("site", i);
    // Markers follow their entries: a moved entry keeps the windows it was filled into.
    for (int k = i; k < siteCount_ - 1; ++k)
        slots_[static_cast<size_t>(k)] = std::move(slots_[static_cast<size_t>(k) + 1]);
    SiteEntry& freed = slots_[static_cast<size_t>(siteCount_) - 1];
    freed.clear();
    --siteCount_;
}

void SiteTable::wipe() {
    for (SiteEntry& e : slots_)
        e.wipe();
    siteCount_ = 0;
}

}  // namespace sirano
