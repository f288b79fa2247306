#include "DataFileFormat.h"

#include "Codec.h"
#include "Cp932.h"
#include "MasterPassword.h"
#include "NumericValue.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

namespace sirano {
namespace {

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr qsizetype kUtf8BomLength = 3;

// A value as a reason shows it: cut short when long, line ends visible.
QString shown(const QString& value) {
    constexpr qsizetype kMax = 40;
    QString v = value.size() > kMax ? value.left(kMax) + QStringLiteral("...") : value;
    v.replace(QLatin1Char('\r'), QStringLiteral("\\r"))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return v;
}

using What = ValueName;
using WhatKind = ValueName::Kind;
using Why = Reason::Kind;

// A value as read: a view into the file's bytes, or its own copy when doubled quotes were undone.
struct Value {
    QByteArrayView bytes;
    QByteArray unquoted;
    int line = 0;
    int position = 0;
};

// Takes values one after another; a line end is only a delimiter, but is counted for messages.
// Works on the bytes: in CP932 and UTF-8 alike, no byte of a multi-byte character is a quote, a
// comma or a line end, so only the texts themselves need converting.
class Reader {
public:
    Reader(QByteArrayView bytes, bool utf8, const QString& fileName)
        : data_(bytes.data()), size_(bytes.size()), utf8_(utf8), file_(fileName) {}

    bool atEnd() const { return pos_ >= size_; }

    // what names the expected value, for the message when the file ends before it.
    Value next(const What& what) {
        if (atEnd())
            throw LoadError(err::kInputPastEnd, file_, line_, valueInLine_ + 1,
                            Reason{Why::EndsEarly, what});
        Value v;
        v.line = line_;
        v.position = ++valueInLine_;
        skipBlanks();
        if (pos_ < size_ && data_[pos_] == '"')
            readQuoted(v);
        else
            readBare(v);
        endValue(v);
        return v;
    }

    QString text(const Value& v) const { return text(v.bytes); }
    QString text(QByteArrayView bytes) const {
        return utf8_ ? QString::fromUtf8(bytes) : cp932::decode(bytes);
    }

    // The text of v as a view: of its bytes themselves when they are plain ASCII (nearly every
    // type and name), which CP932 and UTF-8 both keep unchanged; else of scratch, which it is
    // decoded into.
    QAnyStringView textView(const Value& v, QString& scratch) const {
        const QByteArrayView b = v.bytes;
        if (std::all_of(b.begin(), b.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; }))
            return QLatin1StringView(b.data(), b.size());
        scratch = text(b);
        return scratch;
    }

    int16_t number(const Value& v, const What& what) const {
        const QByteArrayView t = v.bytes;
        if (t.isEmpty())
            return 0;
        const bool negative = t[0] == '-';
        qsizetype i = negative ? 1 : 0;
        if (i == t.size())
            throw notNumber(v, what);
        int64_t n = 0;
        for (; i < t.size(); ++i) {
            if (t[i] < '0' || t[i] > '9')
                throw notNumber(v, what);
            if (n <= 0x10000)
                n = n * 10 + (t[i] - '0');
        }
        if (negative)
            n = -n;
        if (n < INT16_MIN || n > INT16_MAX)
            throw LoadError(err::kOverflow, file_, v.line, v.position,
                            Reason{Why::NumberOutOfRange, what, shown(text(v))});
        return static_cast<int16_t>(n);
    }

    const QString& file() const { return file_; }
    int line() const { return line_; }

private:
    LoadError notNumber(const Value& v, const What& what) const {
        return LoadError(err::kTypeMismatch, file_, v.line, v.position,
                         Reason{Why::NotWholeNumber, what, shown(text(v))});
    }

    void skipBlanks() {
        while (pos_ < size_ && (data_[pos_] == ' ' || data_[pos_] == '\t'))
            ++pos_;
    }

    void readQuoted(Value& v) {
        ++pos_;
        bool copied = false;
        for (;;) {
            // Up to the next quote; line ends inside are text, counted for messages.
            const qsizetype start = pos_;
            while (pos_ < size_ && data_[pos_] != '"') {
                const char c = data_[pos_++];
                if (c == '\n' || (c == '\r' && (pos_ == size_ || data_[pos_] != '\n'))) {
                    ++line_;
                    valueInLine_ = 0;
                }
            }
            const QByteArrayView run(data_ + start, pos_ - start);
            if (pos_ == size_)
                throw LoadError(err::kInputPastEnd, file_, v.line, v.position,
                                Reason{Why::UnclosedText});
            ++pos_;
            const bool doubled = pos_ < size_ && data_[pos_] == '"';
            if (!doubled && !copied) {
                v.bytes = run;
                break;
            }
            v.unquoted.append(run);
            copied = true;
            if (!doubled)
                break;
            v.unquoted.append('"');
            ++pos_;
        }
        if (copied)
            v.bytes = v.unquoted;
        skipBlanks();
    }

    void readBare(Value& v) {
        const qsizetype start = pos_;
        while (pos_ < size_ && data_[pos_] != ',' && data_[pos_] != '\r' && data_[pos_] != '\n')
            ++pos_;
        qsizetype end = pos_;
        while (end > start && (data_[end - 1] == ' ' || data_[end - 1] == '\t'))
            --end;
        v.bytes = QByteArrayView(data_ + start, end - start);
    }

    void endValue(const Value& v) {
        if (atEnd())
            return;
        const char c = data_[pos_];
        if (c == ',') {
            ++pos_;
        } else if (c == '\r' || c == '\n') {
            ++pos_;
            if (c == '\r' && pos_ < size_ && data_[pos_] == '\n')
                ++pos_;
            ++line_;
            valueInLine_ = 0;
        } else {
            throw LoadError(err::kBadFileFormat, file_, v.line, v.position,
                            Reason{Why::TextFollowedBy,
                                   {},
                                   shown(text(QByteArrayView(
                                       data_ + pos_, std::min<qsizetype>(10, size_ - pos_))))});
        }
    }

    const char* data_;
    qsizetype size_;
    bool utf8_;
    const QString& file_;
    qsizetype pos_ = 0;
    int line_ = 1;
    int valueInLine_ = 0;
};

Settings settingsFromHeader(const QString& h, const Value& header, const Reader& reader) {
    const qsizetype length = h.size();
    if (length < 4)
        throw LoadError(err::kInvalidArgument, reader.file(), header.line, header.position,
                        Reason{Why::HeaderTooShort, {}, {}, length});
    Settings s;
    s.autoLoginAtStart = static_cast<int16_t>(std::nearbyint(numericValue(h.mid(length - 4, 1))));
    const double minutes = std::nearbyint(numericValue(h.right(3)));
    if (!(minutes >= 0 && minutes <= 999))
        throw LoadError(err::kBadFileFormat, reader.file(), header.line, header.position,
                        Reason{Why::HeaderMinutes, {}, shown(h.right(3))});
    s.autoLogoutMinutes = static_cast<int16_t>(minutes);
    s.masterPassword = h.left(length - 4);
    if (s.masterPassword == kBlankPassphrase)
        s.masterPassword.clear();
    return s;
}

// Writes the file's bytes: plain texts in CP932 (when every one fits) or UTF-8 behind a byte-order
// mark. Into room made ahead of each value rather than a byte at a time: a full table is
// megabytes.
class Writer {
public:
    Writer(bool cp932, qsizetype sizeHint) : cp932_(cp932), table_(cp932::table()) {
        out_.resize(std::max<qsizetype>(sizeHint, 64));
        at_ = out_.data();
        if (!cp932_)
            put(kUtf8Bom, kUtf8BomLength);
    }

    // A text in double quotes, a quote inside doubled. In CP932, a character that does not read
    // back unchanged marks the writer as failed: the file is then written in UTF-8 instead.
    template <typename View>
    void text(View t) {
        if (!cp932_)
            return utf8Text(t);
        // Two bytes a character at most, four with a quote doubled.
        char* p = room(4 * t.size() + 2);
        *p++ = '"';
        for (const auto c : t) {
            const char16_t u = unit(c);
            if (u < 0x80) {
                *p++ = static_cast<char>(u);
                if (u == u'"')
                    *p++ = '"';
                continue;
            }
            if (!table_.exact(u)) {
                fits_ = false;
                return;
            }
            const uint16_t code = table_.encode[u];
            if (code >= 0x100)
                *p++ = static_cast<char>(code >> 8);
            // Its byte is never part of a double-byte character.
            *p++ = static_cast<char>(code & 0xFF);
        }
        *p++ = '"';
        at_ = p;
    }
    bool fits() const { return fits_; }

    template <typename View>
    void stored(Generator& gen, View plain) {
        char* p = room(maxEncodedLength(plain) + 2);
        *p++ = '"';
        p += encodeTextTo(gen, plain, p);
        *p++ = '"';
        at_ = p;
    }

    void number(int n) {
        char* p = room(16);
        at_ = std::to_chars(p, p + 16, n).ptr;
    }

    void comma() {
        *room(1) = ',';
        ++at_;
    }
    void lineEnd() { put("\r\n", 2); }

    QByteArray take() {
        out_.resize(at_ - out_.data());
        return std::move(out_);
    }

private:
    template <typename View>
    void utf8Text(View t) {
        const QByteArray utf8 = toUtf8(t);
        char* p = room(2 * utf8.size() + 2);
        *p++ = '"';
        for (const char c : utf8) {
            *p++ = c;
            if (c == '"')
                *p++ = '"';
        }
        *p++ = '"';
        at_ = p;
    }

    void put(const char* bytes, qsizetype n) {
        std::memcpy(room(n), bytes, static_cast<size_t>(n));
        at_ += n;
    }

    // Where n more bytes go.
    char* room(qsizetype n) {
        const qsizetype used = at_ - out_.data();
        if (out_.size() - used < n) {
            out_.resize(std::max(2 * out_.size(), used + n));
            at_ = out_.data() + used;
        }
        return at_;
    }

    static QByteArray toUtf8(QStringView t) { return t.toUtf8(); }
    static QByteArray toUtf8(QLatin1StringView t) { return QString(t).toUtf8(); }
    static char16_t unit(QChar c) { return c.unicode(); }
    static char16_t unit(char c) { return static_cast<uint8_t>(c); }

    bool cp932_;
    bool fits_ = true;
    const cp932::Table& table_;
    QByteArray out_;
    char* at_ = nullptr;
};

qsizetype estimatedSize(const SiteTable& table) {
    qsizetype n = 64;
    for (int i = 0; i < table.siteCount(); ++i) {
        const SiteEntry& e = table.at(i);
        n += 20 + 3 * (e.title.size() + e.url.size() + e.urlKeyword.size());
        n += 24 * e.fieldCount() + 4 * e.fieldTextLength();
    }
    return n;
}

// The header and the lines of the table; nothing when a plain text does not fit CP932.
std::optional<QByteArray> serializeTable(const SiteTable& table, const QString& header,
                                         Generator& gen, bool cp932) {
    Writer out(cp932, estimatedSize(table));
    out.stored(gen, QStringView(header));
    out.lineEnd();
    QString scratch;  // the value of a field of an entry with non-Latin-1 texts; its room reused
    for (int i = 0; i < table.siteCount(); ++i) {
        const SiteEntry& e = table.at(i);
        out.text(QStringView(e.title));
        out.comma();
        out.number(e.fieldCount());
        out.comma();
        out.text(QStringView(e.url));
        out.comma();
        out.text(QStringView(e.urlKeyword));
        e.forEachField(scratch,
                       [&](int16_t form, int16_t element, auto type, auto name, auto value) {
                           out.comma();
                           out.number(form);
                           out.comma();
                           out.number(element);
                           out.comma();
                           out.text(type);
                           out.comma();
                           out.text(name);
                           out.comma();
                           out.stored(gen, value);
                       });
        out.comma();
        out.number(i);
        out.lineEnd();
        if (!out.fits())
            return std::nullopt;
    }
    return out.take();
}

}  // namespace

StoreContents parseDataFile(const QByteArray& bytes, Generator& gen, const QString& fileName) {
    const bool utf8 = bytes.startsWith(kUtf8Bom);
    Reader reader(QByteArrayView(bytes).sliced(utf8 ? kUtf8BomLength : 0), utf8, fileName);
    if (reader.atEnd())
        throw LoadError(err::kInputPastEnd, fileName, 1, 0, Reason{Why::EmptyFile});

    const Value header = reader.next(What{WhatKind::Header});
    if (header.bytes.isEmpty())
        throw LoadError(err::kInvalidArgument, fileName, header.line, header.position,
                        Reason{Why::EmptyHeader});
    const QString h = decodeTextBytes(gen, header.bytes);

    StoreContents contents;
    SiteTable& table = contents.siteTable;
    QString type;  // reused for every field: a full table has 101101 of them
    QString name;
    QString value;
    QByteArray asciiValue;
    qsizetype lastTextLength = 0;  // the entry before's, as the room to make for the next
    while (!reader.atEnd()) {
        const int i = table.siteCount();
        if (i >= kTableSlots)
            throw LoadError(err::kSubscriptOutOfRange, fileName, reader.line(), 0,
                            Reason{Why::TooManyEntries, {}, {}, kTableSlots});
        const auto entryWhat = [i](WhatKind name) { return What{name, i}; };
        const auto fieldWhat = [i](WhatKind name, int j) { return What{name, i, j}; };
        SiteEntry e;
        e.title = reader.text(reader.next(entryWhat(WhatKind::Title)));
        const Value countValue = reader.next(entryWhat(WhatKind::FieldCount));
        const int16_t fieldCount = reader.number(countValue, entryWhat(WhatKind::FieldCount));
        if (fieldCount < 0 || fieldCount > kFieldColumns)
            throw LoadError(err::kSubscriptOutOfRange, fileName, countValue.line,
                            countValue.position,
                            Reason{Why::FieldCountOutOfRange,
                                   entryWhat(WhatKind::FieldCount),
                                   {},
                                   fieldCount,
                                   kFieldColumns});
        e.url = reader.text(reader.next(entryWhat(WhatKind::Address)));
        e.urlKeyword = reader.text(reader.next(entryWhat(WhatKind::AddressKeyword)));
        e.reserve(fieldCount, lastTextLength + lastTextLength / 8);
        for (int j = 0; j < fieldCount; ++j) {
            Value v = reader.next(fieldWhat(WhatKind::FormPosition, j));
            const int16_t formIndex = reader.number(v, fieldWhat(WhatKind::FormPosition, j));
            v = reader.next(fieldWhat(WhatKind::ElementPosition, j));
            const int16_t elementIndex = reader.number(v, fieldWhat(WhatKind::ElementPosition, j));
            const Value typeValue = reader.next(fieldWhat(WhatKind::Type, j));
            const Value nameValue = reader.next(fieldWhat(WhatKind::Name, j));
            v = reader.next(fieldWhat(WhatKind::StoredValue, j));
            if (v.bytes.isEmpty())
                throw LoadError(err::kInvalidArgument, fileName, v.line, v.position,
                                Reason{Why::EmptyStoredValue, fieldWhat(WhatKind::StoredValue, j)});
            QAnyStringView plain;
            if (decodeAsciiTextBytes(gen, v.bytes, asciiValue)) {
                plain = QLatin1StringView(asciiValue);
            } else {
                decodeTextBytes(gen, v.bytes, value);
                plain = value;
            }
            e.appendField(formIndex, elementIndex, reader.textView(typeValue, type),
                          reader.textView(nameValue, name), plain);
        }
        reader.next(entryWhat(WhatKind::ClosingIndex));
        lastTextLength = e.fieldTextLength();
        table.append(std::move(e));
    }
    contents.settings = settingsFromHeader(h, header, reader);
    return contents;
}

QByteArray serializeDataFile(const SiteTable& table, const Settings& settings, Generator& gen) {
    if (settings.autoLoginAtStart < 0 || settings.autoLoginAtStart > 9)
        throw SaveError(err::kSubscriptOutOfRange, {},
                        Reason{Why::LoginFlagOutOfRange, {}, {}, settings.autoLoginAtStart}, false);
    if (settings.autoLogoutMinutes < 0 || settings.autoLogoutMinutes > 999)
        throw SaveError(err::kSubscriptOutOfRange, {},
                        Reason{Why::MinutesOutOfRange, {}, {}, settings.autoLogoutMinutes}, false);

    const QString password =
        settings.masterPassword.isEmpty() ? kBlankPassphrase : settings.masterPassword;
    const QString h = password + QString::number(settings.autoLoginAtStart) +
                      QStringLiteral("%1").arg(settings.autoLogoutMinutes, 3, 10, QLatin1Char('0'));

    // Written in CP932 while every plain text fits, else again in UTF-8, from the same generator
    // state, so that the bytes do not depend on the attempt.
    const uint32_t generatorState = gen.state();
    std::optional<QByteArray> bytes = serializeTable(table, h, gen, true);
    if (!bytes) {
        gen.setState(generatorState);
        bytes = serializeTable(table, h, gen, false);
    }
    return *bytes;
}

}  // namespace sirano
