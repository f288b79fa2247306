// The table of memorised log-in pages: 1001 slots of which the first siteCount are entries.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <vector>

namespace sirano {

inline constexpr int kTableSlots = 1001;   // slots 0..1000
inline constexpr int kFieldColumns = 101;  // field columns 0..100

// One captured form element: where it sits in the page and what to put back.
struct SiteField {
    int16_t formIndex = 0;
    int16_t elementIndex = 0;
    QString fieldType;  // as the page reported it; compared lower-cased with "checkbox"
    QString fieldName;
    QString fieldValue;  // plain text in memory; "True"/"False" for a check box

    bool isCheckbox() const {
        return fieldType.compare(QLatin1String("checkbox"), Qt::CaseInsensitive) == 0;
    }
    bool operator==(const SiteField&) const = default;
};

// Run-time only: the windows the automatic fill has filled with one entry. A window leaves the set
// when it starts loading a page, so that each window is filled once per page it shows and the
// user's later edits stay.
class FilledWindows {
public:
    bool contains(int32_t hwnd) const;
    void insert(int32_t hwnd);
    void erase(int32_t hwnd);
    bool empty() const { return hwnds_.empty(); }
    void clear() { hwnds_.clear(); }

private:
    std::vector<int32_t> hwnds_;  // a handful at most: the tabs showing one site
};

struct SiteEntry {
    QString title;
    QString url;
    QString urlKeyword;
    FilledWindows filledHwnds;

    int16_t fieldCount() const { return static_cast<int16_t>(fields_.size()); }
    // Column j (0..100); error 9 outside. Reading a column at or past fieldCount() is error 9 too.
    const SiteField& field(int j) const;
    SiteField& field(int j);
    // Stores column j, growing the entry to j + 1 columns when needed; error 9 past column 100.
    void setField(int j, SiteField f);
    // Keeps the first n columns (0..101); error 9 outside.
    void setFieldCount(int n);
    const std::vector<SiteField>& fields() const { return fields_; }
    // Empty title, address, keyword, no fields and no markers: a free slot.
    void clear();

    bool operator==(const SiteEntry& o) const {
        return title == o.title && url == o.url && urlKeyword == o.urlKeyword &&
               fields_ == o.fields_;
    }

private:
    std::vector<SiteField> fields_;
};

class SiteTable {
public:
    SiteTable();

    int16_t siteCount() const { return siteCount_; }
    // 0..1001; error 9 outside.
    void setSiteCount(int n);

    // Slot i (0..1000), whether in use or free; error 9 outside.
    SiteEntry& at(int i);
    const SiteEntry& at(int i) const;

    // Appends an entry in slot siteCount() and counts it; error 9 when the table is full.
    SiteEntry& append(SiteEntry e);
    // Removes entry i, moving every later entry down one place and clearing the freed slot.
    void remove(int i);

private:
    std::vector<SiteEntry> slots_;
    int16_t siteCount_ = 0;
};

}  // namespace sirano
