// The table of memorised log-in pages: 1001 slots of which the first siteCount are entries.
#pragma once

#include <QAnyStringView>
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringView>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <utility>
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
    bool contains(int32_t windowId) const;
    void insert(int32_t windowId);
    void erase(int32_t windowId);
    bool empty() const { return windowIds_.empty(); }
    void clear() { windowIds_.clear(); }

private:
    std::vector<int32_t> windowIds_;  // a handful at most: the tabs showing one site
};

// One memorised page. Its fields are kept packed (ten bytes of positions per field and one block
// of text per entry, one byte per character while every character fits in Latin-1): a full table
// is 101101 fields, and a QString apiece made loading slow and memory large. So fields are handed
// out as copies and changed through the setters.
struct SiteEntry {
    QString title;
    QString url;
    QString urlKeyword;
    FilledWindows filledWindows;

    int16_t fieldCount() const {
        return static_cast<int16_t>(cells_.size() / static_cast<qsizetype>(stride()));
    }
    // A copy of column j (0..fieldCount() - 1); error 9 outside. Const, so that assigning to one
    // of its members cannot pass for a change of the entry.
    const SiteField field(int j) const;
    // Every field, copied out in column order.
    std::vector<SiteField> fields() const;
    // One text of column j; error 9 outside.
    int16_t formIndex(int j) const;
    int16_t elementIndex(int j) const;
    QString fieldType(int j) const;
    QString fieldName(int j) const;
    QString fieldValue(int j) const;
    bool isCheckbox(int j) const;
    enum class Text { Type, Name, Value };
    // One text of column j into out, reusing its room (for the writer of the data file).
    void copyFieldText(int j, Text t, QString& out) const;
    // Calls f(formIndex, elementIndex, type, name, value) for every field in column order, the
    // texts as views of where they are kept (QLatin1StringView) while the entry holds Latin-1
    // texts only, else as QStringViews of copies (the value's in scratch): one walk over the
    // packed cells instead of a checked lookup per value (the writer of the data file goes
    // through 101101 fields).
    template <typename F>
    void forEachField(QString& scratch, F&& f) const {
        const int n = fieldCount();
        if (!narrow_) {
            QString type;
            QString name;
            for (int j = 0; j < n; ++j) {
                copyFieldText(j, Text::Type, type);
                copyFieldText(j, Text::Name, name);
                copyFieldText(j, Text::Value, scratch);
                f(formIndex(j), elementIndex(j), QStringView(type), QStringView(name),
                  QStringView(scratch));
            }
            return;
        }
        const char* const texts = texts_.constData();
        const auto view = [texts](uint32_t from, uint32_t to) {
            return QLatin1StringView(texts + from, static_cast<qsizetype>(to - from));
        };
        uint32_t begin = 0;
        for (int j = 0; j < n; ++j) {
            const uint16_t* c = cellsOf(j);
            const uint32_t typeEnd = endOf(j, 0);
            const uint32_t nameEnd = endOf(j, 1);
            const uint32_t valueEnd = endOf(j, 2);
            f(static_cast<int16_t>(c[0]), static_cast<int16_t>(c[1]), view(begin, typeEnd),
              view(typeEnd, nameEnd), view(nameEnd, valueEnd));
            begin = valueEnd;
        }
    }
    // The characters of every field's type, name and value together.
    qsizetype fieldTextLength() const { return startOf(fieldCount()); }
    // Where the fields' texts are kept, as bytes (for the check that a wipe leaves none there).
    QByteArrayView fieldTextStorage() const { return texts_; }

    // Stores column j, growing the entry to j + 1 columns when needed (new columns in between are
    // empty fields); error 9 past column 100.
    void setField(int j, const SiteField& f);
    // Change one text of column j (0..fieldCount() - 1); error 9 outside.
    void setFieldName(int j, QStringView name);
    void setFieldValue(int j, QStringView value);
    // Appends column fieldCount(); error 9 when the entry has 101 columns already.
    void appendField(int16_t formIndex, int16_t elementIndex, QAnyStringView type,
                     QAnyStringView name, QAnyStringView value);
    // Keeps the first n columns (0..101), or adds empty ones up to n; error 9 outside.
    void setFieldCount(int n);
    // Room for fields columns and textLength characters of their texts, made at once.
    void reserve(int fields, qsizetype textLength);
    // Gives back the room kept for growth (the table does it for every entry it takes).
    void shrinkToFit();
    // Empty title, address, keyword, no fields and no markers: a free slot.
    void clear();
    // clear(), after zeroing the texts where this entry is their only holder.
    void wipe();

    // Markers are not compared.
    bool operator==(const SiteEntry& o) const;

private:
    // Cells of a field: its form and element position, then where its type, name and value end in
    // texts_ (in characters), one cell each while every end of the entry fits in 16 bits, else two
    // (low half first). Each text starts where the one before it ends, the first type at the end
    // of the previous field.
    static constexpr size_t kNarrowStride = 5;
    static constexpr size_t kWideStride = 8;
    size_t stride() const { return wideEnds_ ? kWideStride : kNarrowStride; }
    const uint16_t* cellsOf(int j) const { return cells_.constData() + stride() * size_t(j); }
    uint32_t endOf(int j, size_t which) const {
        const uint16_t* c = cellsOf(j);
        if (!wideEnds_)
            return c[2 + which];
        return c[2 + 2 * which] | uint32_t{c[3 + 2 * which]} << 16;
    }
    uint32_t startOf(int j) const { return j == 0 ? 0 : endOf(j - 1, 2); }
    // Characters [begin, end) of one text of column j.
    std::pair<uint32_t, uint32_t> span(int j, Text t) const;
    QString text(int j, Text t) const;
    void append(QAnyStringView text);
    void widen();
    void widenEnds();
    void checkColumn(int j) const;

    // Shared with copies until changed: the data file as last read or written is kept beside the
    // table.
    QList<uint16_t> cells_;
    // Latin-1 bytes while narrow_, else UTF-16 code units (two bytes each, in memory order).
    QByteArray texts_;
    bool narrow_ = true;
    bool wideEnds_ = false;
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
    // Every slot wiped (SiteEntry::wipe) and no entry counted: a decrypted table forgotten.
    void wipe();

private:
    std::vector<SiteEntry> slots_;
    int16_t siteCount_ = 0;
};

}  // namespace sirano
