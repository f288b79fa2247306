#include "SiteTable.h"

#include "Error.h"

#include <algorithm>

namespace sirano {
namespace {

[[noreturn]] void outOfRange(const char* what, int index) {
    throw SiranoError(
        err::kSubscriptOutOfRange,
        QStringLiteral("Subscript out of range: %1 %2").arg(QLatin1String(what)).arg(index));
}

}  // namespace

bool FilledWindows::contains(int32_t hwnd) const {
    return std::find(hwnds_.begin(), hwnds_.end(), hwnd) != hwnds_.end();
}

void FilledWindows::insert(int32_t hwnd) {
    if (!contains(hwnd))
        hwnds_.push_back(hwnd);
}

void FilledWindows::erase(int32_t hwnd) {
    std::erase(hwnds_, hwnd);
}

const SiteField& SiteEntry::field(int j) const {
    if (j < 0 || j >= static_cast<int>(fields_.size()))
        outOfRange("field", j);
    return fields_[static_cast<size_t>(j)];
}

SiteField& SiteEntry::field(int j) {
    return const_cast<SiteField&>(std::as_const(*this).field(j));
}

void SiteEntry::setField(int j, SiteField f) {
    if (j < 0 || j >= kFieldColumns)
        outOfRange("field", j);
    if (j >= static_cast<int>(fields_.size()))
        fields_.resize(static_cast<size_t>(j) + 1);
    fields_[static_cast<size_t>(j)] = std::move(f);
}

void SiteEntry::setFieldCount(int n) {
    if (n < 0 || n > kFieldColumns)
        outOfRange("field count", n);
    fields_.resize(static_cast<size_t>(n));
}

void SiteEntry::clear() {
    title.clear();
    url.clear();
    urlKeyword.clear();
    fields_.clear();
    filledHwnds.clear();
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

}  // namespace sirano
