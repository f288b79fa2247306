#include "Cp932.h"

#include <iconv.h>

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace sirano::cp932 {
namespace {

constexpr uint16_t kNoCode = Table::kNoCode;
constexpr char16_t kNoChar = Table::kNoChar;
constexpr char16_t kReplacement = u'\uFFFD';

class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
    ~Iconv() { iconv_close(cd_); }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    // Converts one complete unit; the number of output bytes, or -1 when iconv refuses it.
    int convert(const char* in, size_t inLength, char* out, size_t outCapacity) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* inPtr = const_cast<char*>(in);
        char* outPtr = out;
        size_t inLeft = inLength;
        size_t outLeft = outCapacity;
        if (iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) ||
            inLeft != 0)
            return -1;
        return static_cast<int>(outCapacity - outLeft);
    }

private:
    iconv_t cd_;
};

// The CP932 tables, built once from iconv: per-character iconv calls would dominate the codec's
// and the data file's cost. Each half is built when first needed (a load decodes only) and is
// immutable after construction.
std::vector<char16_t> buildDecodeTable() {
    std::vector<char16_t> decode(0x10000, kNoChar);
    Iconv toUnicode("UTF-32LE", "CP932");
    auto decodeOne = [&](uint16_t code, const char* bytes, size_t length) {
        std::array<char, 16> out{};
        if (toUnicode.convert(bytes, length, out.data(), out.size()) != 4)
            return;
        const uint32_t c = static_cast<uint8_t>(out[0]) | static_cast<uint8_t>(out[1]) << 8 |
                           static_cast<uint8_t>(out[2]) << 16 |
                           static_cast<uint32_t>(static_cast<uint8_t>(out[3])) << 24;
        if (c < 0x10000)
            decode[code] = static_cast<char16_t>(c);
    };
    for (int b = 0; b < 0x100; ++b) {
        if (isLeadByte(static_cast<uint8_t>(b)))
            continue;
        const char byte = static_cast<char>(b);
        decodeOne(static_cast<uint16_t>(b), &byte, 1);
    }
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!isLeadByte(static_cast<uint8_t>(lead)))
            continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            const std::array<char, 2> bytes{static_cast<char>(lead), static_cast<char>(trail)};
            decodeOne(static_cast<uint16_t>(lead << 8 | trail), bytes.data(), 2);
        }
    }
    return decode;
}

std::vector<uint16_t> buildEncodeTable() {
    std::vector<uint16_t> encode(0x10000, kNoCode);
    Iconv fromUnicode("CP932", "UTF-32LE");
    for (uint32_t c = 0; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        const std::array<char, 4> in{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8 & 0xFF),
                                     0, 0};
        std::array<char, 8> out{};
        const int n = fromUnicode.convert(in.data(), in.size(), out.data(), out.size());
        if (n == 1)
            encode[c] = static_cast<uint8_t>(out[0]);
        else if (n == 2)
            encode[c] = static_cast<uint16_t>(static_cast<uint8_t>(out[0]) << 8 |
                                              static_cast<uint8_t>(out[1]));
    }
    return encode;
}

uint16_t mappedCode(const Table& t, char32_t c) {
    return c < 0x10000 ? t.encode[c] : kNoCode;
}

QByteArray codeBytes(uint16_t code) {
    if (code < 0x100)
        return QByteArray(1, static_cast<char>(code));
    const std::array<char, 2> bytes{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    return QByteArray(bytes.data(), 2);
}

}  // namespace

const char16_t* decodeTable() {
    static const std::vector<char16_t> decode = buildDecodeTable();
    return decode.data();
}

const Table& table() {
    static const std::vector<uint16_t> encode = buildEncodeTable();
    static const Table t{encode.data(), decodeTable()};
    return t;
}

std::optional<QByteArray> encodeChar(char32_t c) {
    const uint16_t code = mappedCode(table(), c);
    if (code == kNoCode)
        return std::nullopt;
    return codeBytes(code);
}

std::optional<uint16_t> exactCode(char32_t c) {
    const Table& t = table();
    const uint16_t code = mappedCode(t, c);
    if (code == kNoCode || t.decode[code] != c)
        return std::nullopt;
    return code;
}

std::optional<char16_t> decodeCode(uint16_t code) {
    const char16_t c = table().decode[code];
    if (c == kNoChar)
        return std::nullopt;
    return c;
}

std::optional<QByteArray> encode(const QString& text) {
    const Table& t = table();
    QByteArray out(text.size() * 2, Qt::Uninitialized);
    char* p = out.data();
    for (QChar qc : text) {
        // A surrogate is never in the table, so a pair fails on its first half.
        const uint16_t code = t.encode[qc.unicode()];
        if (code == kNoCode)
            return std::nullopt;
        if (code >= 0x100)
            *p++ = static_cast<char>(code >> 8);
        *p++ = static_cast<char>(code & 0xFF);
    }
    out.truncate(p - out.data());
    return out;
}

QString decode(QByteArrayView bytes) {
    const char16_t* const decoded = decodeTable();
    QString out(bytes.size(), Qt::Uninitialized);
    char16_t* p = reinterpret_cast<char16_t*>(out.data());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        char16_t c = kNoChar;
        if (isLeadByte(b)) {
            if (i + 1 < n) {
                const auto trail = static_cast<uint8_t>(bytes[i + 1]);
                c = decoded[static_cast<uint16_t>(b << 8 | trail)];
                // A byte that cannot be a trail byte starts the next character.
                if (trail >= 0x40 && trail <= 0xFC && trail != 0x7F)
                    ++i;
            }
        } else {
            c = decoded[b];
        }
        *p++ = c == kNoChar ? kReplacement : c;
    }
    out.truncate(p - reinterpret_cast<char16_t*>(out.data()));
    return out;
}

bool fits(const QString& text) {
    // Most texts are ASCII, which always fits: one pass the compiler can vectorise.
    const auto* p = reinterpret_cast<const char16_t*>(text.constData());
    const qsizetype n = text.size();
    char16_t all = 0;
    for (qsizetype i = 0; i < n; ++i)
        all |= p[i];
    if (all < 0x80)
        return true;
    const Table& t = table();
    for (qsizetype i = 0; i < n; ++i) {
        if (!t.exact(p[i]))
            return false;
    }
    return true;
}

}  // namespace sirano::cp932
