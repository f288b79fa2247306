#include "Codec.h"

#include "Cp932.h"
#include "Error.h"

#include <QVarLengthArray>
#include <array>
#include <type_traits>

namespace sirano {
namespace {

constexpr uint8_t kEscape = 0xFD;
constexpr char16_t kReplacement = u'\uFFFD';
constexpr std::array<char, 16> kHexDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                          '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

using Digits = QVarLengthArray<uint8_t, 512>;  // one hexadecimal digit (0-15) per element

// The start of the ten keystreams and the generator's state after each draw. The generator
// behind them is fixed for good, so this is a constant: computed once, it spares a draw per
// digit on every encode and decode.
class Keystreams {
public:
    static constexpr qsizetype kLength = 1024;

    Keystreams() {
        for (int k = 0; k < 10; ++k) {
            Generator g;
            start(g, k);
            states_[k][0] = g.state();
            for (qsizetype i = 0; i < kLength; ++i) {
                g.draw();
                values_[k][i] = static_cast<uint8_t>(g.state() >> 20);  // floor(u * 16)
                states_[k][i + 1] = g.state();
            }
        }
    }

    static void start(Generator& gen, int seedDigit) {
        gen.reset(-1.0f);
        gen.reseed(static_cast<double>(seedDigit));
    }

    // Keystream k's first n values (n <= kLength), leaving gen as n draws into it would.
    const uint8_t* cached(Generator& gen, int k, qsizetype n) const {
        gen.setState(states_[k][n]);
        return values_[k].data();
    }

    // Fills out[0..n) with keystream k and leaves gen as n draws into it would.
    void take(Generator& gen, int k, qsizetype n, uint8_t* out) const {
        const qsizetype cached = std::min(n, kLength);
        std::copy_n(values_[k].begin(), cached, out);
        gen.setState(states_[k][cached]);
        for (qsizetype i = cached; i < n; ++i) {
            gen.draw();
            out[i] = static_cast<uint8_t>(gen.state() >> 20);
        }
    }

private:
    std::array<std::array<uint8_t, kLength>, 10> values_{};
    std::array<std::array<uint32_t, kLength + 1>, 10> states_{};
};

const Keystreams& keystreams() {
    static const Keystreams k;
    return k;
}

constexpr std::array<uint8_t, 256> hexValues() {
    std::array<uint8_t, 256> v{};  // a non-hexadecimal character counts as 0
    for (int c = '0'; c <= '9'; ++c)
        v[static_cast<size_t>(c)] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        v[static_cast<size_t>(c)] = v[static_cast<size_t>(c - 'A' + 'a')] =
            static_cast<uint8_t>(c - 'A' + 10);
    return v;
}
constexpr std::array<uint8_t, 256> kHexValues = hexValues();

// Writes the code text's digits of c at p; returns the end.
uint8_t* putByte(uint8_t* p, uint32_t byte) {
    p[0] = static_cast<uint8_t>(byte >> 4 & 0xF);
    p[1] = static_cast<uint8_t>(byte & 0xF);
    return p + 2;
}

uint8_t* putCodeDigits(const cp932::Table& t, uint8_t* p, char32_t c) {
    if (c < 0x10000 && t.exact(static_cast<char16_t>(c))) {
        const uint16_t code = c < 0x80 ? static_cast<uint16_t>(c) : t.encode[c];
        if (code >= 0x100)
            p = putByte(p, code >> 8);
        return putByte(p, code & 0xFF);
    }
    p = putByte(p, kEscape);
    p = putByte(p, c >> 16 & 0xFF);
    p = putByte(p, c >> 8 & 0xFF);
    return putByte(p, c & 0xFF);
}

// Digits of a code text needed for text: at most 8 per UTF-16 unit.
template <typename View>
qsizetype maxCodeLength(View text) {
    return 8 * text.size();
}

Digits codeText(QStringView text) {
    const cp932::Table& t = cp932::table();
    Digits code(maxCodeLength(text));
    uint8_t* const begin = code.data();
    uint8_t* p = begin;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < n &&
            QChar::isLowSurrogate(text[i + 1].unicode())) {
            p = putCodeDigits(t, p, QChar::surrogateToUcs4(u, text[i + 1].unicode()));
            ++i;
        } else {
            p = putCodeDigits(t, p, u);
        }
    }
    code.resize(p - begin);
    return code;
}

// Latin-1 holds no surrogates: one character per byte.
Digits codeText(QLatin1StringView text) {
    const cp932::Table& t = cp932::table();
    Digits code(maxCodeLength(text));
    uint8_t* const begin = code.data();
    uint8_t* p = begin;
    for (const char c : text)
        p = putCodeDigits(t, p, static_cast<uint8_t>(c));
    code.resize(p - begin);
    return code;
}

// Writes the stored text (seed digit, then the scrambled code text walked from its end) to out.
template <typename View>
void scramble(Generator& gen, View text, char* out, qsizetype& length) {
    const int seedDigit = static_cast<int>(static_cast<double>(gen.draw()) * 10.0);
    const Digits code = codeText(text);
    QVarLengthArray<uint8_t, 512> key(code.size());
    keystreams().take(gen, seedDigit, code.size(), key.data());
    out[0] = static_cast<char>('0' + seedDigit);
    const qsizetype n = code.size();
    for (qsizetype j = 0; j < n; ++j)
        out[j + 1] = kHexDigits[static_cast<size_t>((code[n - 1 - j] + key[j]) & 0xF)];
    length = n + 1;
}

// The usual stored text: ASCII only, two digits a character, its keystream in the cache. Walks
// the characters from the end, low digit first, as the code text reversed. False, with gen
// untouched, for any other text.
bool scrambleAscii(Generator& gen, QLatin1StringView text, char* out, qsizetype& length) {
    const qsizetype n = text.size();
    if (2 * n > Keystreams::kLength)
        return false;
    const auto* const chars = reinterpret_cast<const uint8_t*>(text.data());
    uint8_t any = 0;
    for (qsizetype i = 0; i < n; ++i)
        any |= chars[i];
    if (any & 0x80)
        return false;
    const int seedDigit = static_cast<int>(static_cast<double>(gen.draw()) * 10.0);
    const uint8_t* key = keystreams().cached(gen, seedDigit, 2 * n);
    out[0] = static_cast<char>('0' + seedDigit);
    char* o = out + 1;
    for (qsizetype i = n - 1; i >= 0; --i, o += 2, key += 2) {
        o[0] = kHexDigits[static_cast<size_t>(((chars[i] & 0xF) + key[0]) & 0xF)];
        o[1] = kHexDigits[static_cast<size_t>(((chars[i] >> 4) + key[1]) & 0xF)];
    }
    length = 2 * n + 1;
    return true;
}

template <typename View>
qsizetype maxStoredLength(View text) {
    return 1 + maxCodeLength(text);
}

template <typename View>
qsizetype encodeInto(Generator& gen, View text, char* out) {
    qsizetype length = 0;
    if constexpr (std::is_same_v<View, QLatin1StringView>) {
        if (scrambleAscii(gen, text, out, length))
            return length;
    }
    scramble(gen, text, out, length);
    return length;
}

uint32_t readBytes(const uint8_t* digits, int count) {
    uint32_t v = 0;
    for (int i = 0; i < count * 2; ++i)
        v = v << 4 | digits[i];
    return v;
}

template <typename CharAt>
void unscramble(Generator& gen, qsizetype size, CharAt charAt, QString& text) {
    if (size == 0)
        throw SiranoError(
            err::kInvalidArgument,
            QStringLiteral("An empty stored text cannot be decoded: it has no seed digit."));
    const char16_t first = charAt(0);
    const int seedDigit = first >= u'0' && first <= u'9' ? first - u'0' : 0;

    const qsizetype length = size - 1;
    QVarLengthArray<uint8_t, 512> key(length);
    keystreams().take(gen, seedDigit, length, key.data());
    Digits code(length);
    for (qsizetype j = 0; j < length; ++j) {
        const char16_t c = charAt(j + 1);
        const uint8_t d = c < 0x100 ? kHexValues[c] : 0;
        code[length - 1 - j] = static_cast<uint8_t>((d + 16 - key[j]) & 0xF);
    }

    // Two digits at a time; a lead byte takes four, the escape eight. An odd last digit is dropped.
    const char16_t* const decodeTable = cp932::decodeTable();
    text.resize(length / 2);
    char16_t* out = reinterpret_cast<char16_t*>(text.data());
    char16_t* const begin = out;
    const uint8_t* digits = code.data();
    qsizetype pos = 0;
    auto decoded = [&](uint16_t c) {
        const char16_t ch = decodeTable[c];
        return ch == cp932::Table::kNoChar ? kReplacement : ch;
    };
    while (pos + 2 <= length) {
        const uint32_t v = readBytes(digits + pos, 1);
        if (cp932::isLeadByte(static_cast<uint8_t>(v))) {
            if (pos + 4 > length) {
                *out++ = kReplacement;
                break;
            }
            *out++ = decoded(static_cast<uint16_t>(readBytes(digits + pos, 2)));
            pos += 4;
        } else if (v == kEscape) {
            if (pos + 8 > length) {
                *out++ = kReplacement;
                break;
            }
            const uint32_t cp = readBytes(digits + pos + 2, 3);
            if (cp > 0x10FFFF) {
                *out++ = kReplacement;
            } else if (cp >= 0x10000) {
                *out++ = QChar::highSurrogate(cp);
                *out++ = QChar::lowSurrogate(cp);
            } else {
                *out++ = static_cast<char16_t>(cp);
            }
            pos += 8;
        } else {
            *out++ = decoded(static_cast<uint16_t>(v));
            pos += 2;
        }
    }
    text.truncate(out - begin);
}

}  // namespace

QString encodeText(Generator& gen, const QString& text) {
    QVarLengthArray<char, 1024> bytes(maxStoredLength(QStringView(text)));
    qsizetype length = 0;
    scramble(gen, QStringView(text), bytes.data(), length);
    return QString::fromLatin1(bytes.data(), length);
}

qsizetype maxEncodedLength(QStringView text) {
    return maxStoredLength(text);
}

qsizetype maxEncodedLength(QLatin1StringView text) {
    return maxStoredLength(text);
}

qsizetype encodeTextTo(Generator& gen, QStringView text, char* out) {
    return encodeInto(gen, text, out);
}

qsizetype encodeTextTo(Generator& gen, QLatin1StringView text, char* out) {
    return encodeInto(gen, text, out);
}

bool decodeAsciiTextBytes(Generator& gen, QByteArrayView stored, QByteArray& out) {
    const qsizetype length = stored.size() - 1;
    if (length < 0 || length % 2 != 0 || length > Keystreams::kLength)
        return false;
    const auto* const digits = reinterpret_cast<const uint8_t*>(stored.data()) + 1;
    const int seedDigit = stored[0] >= '0' && stored[0] <= '9' ? stored[0] - '0' : 0;
    const uint8_t* const key = keystreams().cached(gen, seedDigit, length);
    const qsizetype n = length / 2;
    out.resize(n);
    char* const o = out.data();
    // Character i is code digits 2i and 2i + 1, stored at length - 1 - 2i and length - 2 - 2i.
    for (qsizetype i = 0, j = length - 1; i < n; ++i, j -= 2) {
        const uint8_t high = (kHexValues[digits[j]] + 16 - key[j]) & 0xF;
        const uint8_t low = (kHexValues[digits[j - 1]] + 16 - key[j - 1]) & 0xF;
        if (high >= 8)
            return false;  // a lead byte, an escape, or a single byte above ASCII
        o[i] = static_cast<char>(high << 4 | low);
    }
    return true;
}

QString decodeText(Generator& gen, const QString& stored) {
    QString text;
    unscramble(
        gen, stored.size(), [&](qsizetype i) { return stored[i].unicode(); }, text);
    return text;
}

QString decodeTextBytes(Generator& gen, QByteArrayView stored) {
    QString text;
    decodeTextBytes(gen, stored, text);
    return text;
}

void decodeTextBytes(Generator& gen, QByteArrayView stored, QString& out) {
    unscramble(
        gen, stored.size(), [&](qsizetype i) { return char16_t{static_cast<uint8_t>(stored[i])}; },
        out);
}

}  // namespace sirano
