#include "Cp932.h"

#include <iconv.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <vector>

namespace sirano::cp932 {
namespace {

constexpr uint16_t kNoCode = 0xFFFF;     // 0xFF is no lead byte, so never a code
constexpr char16_t kNoChar = u'\uFFFF';  // a non-character: CP932 never decodes to it
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

// The whole CP932 table, built once from iconv: per-character iconv calls would dominate the
// codec and the data file's cost. Immutable after construction.
struct Tables {
    std::vector<uint16_t> encode = std::vector<uint16_t>(0x10000, kNoCode);  // BMP -> code
    std::vector<char16_t> decode = std::vector<char16_t>(0x10000, kNoChar);  // code -> BMP

    Tables() {
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

        Iconv fromUnicode("CP932", "UTF-32LE");
        for (uint32_t c = 0; c < 0x10000; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF)
                continue;
            const std::array<char, 4> in{static_cast<char>(c & 0xFF),
                                         static_cast<char>(c >> 8 & 0xFF), 0, 0};
            std::array<char, 8> out{};
            const int n = fromUnicode.convert(in.data(), in.size(), out.data(), out.size());
            if (n == 1)
                encode[c] = static_cast<uint8_t>(out[0]);
            else if (n == 2)
                encode[c] = static_cast<uint16_t>(static_cast<uint8_t>(out[0]) << 8 |
                                                  static_cast<uint8_t>(out[1]));
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

uint16_t mappedCode(char32_t c) {
    return c < 0x10000 ? tables().encode[c] : kNoCode;
}

QByteArray codeBytes(uint16_t code) {
    if (code < 0x100)
        return QByteArray(1, static_cast<char>(code));
    const std::array<char, 2> bytes{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    return QByteArray(bytes.data(), 2);
}

// Calls f with each code point of text; a lone surrogate is passed as itself.
template <typename F>
void forEachCodePoint(const QString& text, F f) {
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < n &&
            QChar::isLowSurrogate(text[i + 1].unicode())) {
            if (!f(QChar::surrogateToUcs4(u, text[i + 1].unicode())))
                return;
            ++i;
        } else if (!f(char32_t{u})) {
            return;
        }
    }
}

}  // namespace

bool isLeadByte(uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

std::optional<QByteArray> encodeChar(char32_t c) {
    const uint16_t code = mappedCode(c);
    if (code == kNoCode)
        return std::nullopt;
    return codeBytes(code);
}

std::optional<uint16_t> exactCode(char32_t c) {
    const uint16_t code = mappedCode(c);
    if (code == kNoCode || tables().decode[code] != c)
        return std::nullopt;
    return code;
}

std::optional<char16_t> decodeCode(uint16_t code) {
    const char16_t c = tables().decode[code];
    if (c == kNoChar)
        return std::nullopt;
    return c;
}

std::optional<QByteArray> encode(const QString& text) {
    QByteArray out;
    out.reserve(text.size() * 2);
    bool ok = true;
    forEachCodePoint(text, [&](char32_t c) {
        const uint16_t code = mappedCode(c);
        if (code == kNoCode)
            return ok = false;
        if (code >= 0x100)
            out.append(static_cast<char>(code >> 8));
        out.append(static_cast<char>(code & 0xFF));
        return true;
    });
    if (!ok)
        return std::nullopt;
    return out;
}

QString decode(const QByteArray& bytes) {
    const Tables& t = tables();
    QString out;
    out.reserve(bytes.size());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        char16_t c = kNoChar;
        if (isLeadByte(b)) {
            if (i + 1 < n) {
                const auto trail = static_cast<uint8_t>(bytes[i + 1]);
                c = t.decode[static_cast<uint16_t>(b << 8 | trail)];
                // A byte that cannot be a trail byte starts the next character.
                if (trail >= 0x40 && trail <= 0xFC && trail != 0x7F)
                    ++i;
            }
        } else {
            c = t.decode[b];
        }
        out.append(QChar(c == kNoChar ? kReplacement : c));
    }
    return out;
}

bool fits(const QString& text) {
    bool ok = true;
    forEachCodePoint(text, [&](char32_t c) { return ok = exactCode(c).has_value(); });
    return ok;
}

}  // namespace sirano::cp932
