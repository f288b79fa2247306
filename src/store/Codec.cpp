#include "Codec.h"

#include "Cp932.h"
#include "Error.h"

#include <QVarLengthArray>
#include <array>

namespace sirano {
namespace {

constexpr uint8_t kEscape = 0xFD;
constexpr char16_t kReplacement = u'\uFFFD';
constexpr std::array<char16_t, 16> kHexDigits{u'0', u'1', u'2', u'3', u'4', u'5', u'6', u'7',
                                              u'8', u'9', u'A', u'B', u'C', u'D', u'E', u'F'};

using Digits = QVarLengthArray<uint8_t, 256>;  // one hexadecimal digit (0-15) per element

// The value of one generator draw scaled to 0-15; exact because the draw is state / 2^24.
int draw16(Generator& gen) {
    return static_cast<int>(static_cast<double>(gen.draw()) * 16.0);
}

void startKeystream(Generator& gen, int seedDigit) {
    gen.reset(-1.0f);
    gen.reseed(static_cast<double>(seedDigit));
}

void appendByte(Digits& digits, uint32_t byte) {
    digits.append(static_cast<uint8_t>(byte >> 4 & 0xF));
    digits.append(static_cast<uint8_t>(byte & 0xF));
}

void appendCodeDigits(Digits& digits, char32_t c) {
    if (const auto code = cp932::exactCode(c)) {
        if (*code >= 0x100)
            appendByte(digits, *code >> 8);
        appendByte(digits, *code & 0xFF);
        return;
    }
    appendByte(digits, kEscape);
    appendByte(digits, c >> 16 & 0xFF);
    appendByte(digits, c >> 8 & 0xFF);
    appendByte(digits, c & 0xFF);
}

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return 0;
}

uint32_t readBytes(const Digits& digits, qsizetype pos, int count) {
    uint32_t v = 0;
    for (int i = 0; i < count * 2; ++i)
        v = v << 4 | digits[pos + i];
    return v;
}

void appendCodePoint(QString& out, uint32_t cp) {
    if (cp > 0x10FFFF) {
        out.append(QChar(kReplacement));
    } else if (cp >= 0x10000) {
        out.append(QChar(QChar::highSurrogate(cp)));
        out.append(QChar(QChar::lowSurrogate(cp)));
    } else {
        out.append(QChar(static_cast<char16_t>(cp)));
    }
}

}  // namespace

QString encodeText(Generator& gen, const QString& text) {
    const int seedDigit = static_cast<int>(static_cast<double>(gen.draw()) * 10.0);

    Digits code;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < n &&
            QChar::isLowSurrogate(text[i + 1].unicode())) {
            appendCodeDigits(code, QChar::surrogateToUcs4(u, text[i + 1].unicode()));
            ++i;
        } else {
            appendCodeDigits(code, u);
        }
    }

    startKeystream(gen, seedDigit);
    QString stored(code.size() + 1, Qt::Uninitialized);
    QChar* out = stored.data();
    out[0] = QChar(static_cast<char16_t>(u'0' + seedDigit));
    for (qsizetype j = 1; j <= code.size(); ++j)
        out[j] =
            QChar(kHexDigits[static_cast<size_t>((code[code.size() - j] + draw16(gen)) & 0xF)]);
    return stored;
}

QString decodeText(Generator& gen, const QString& stored) {
    if (stored.isEmpty())
        throw SiranoError(
            err::kInvalidArgument,
            QStringLiteral("An empty stored text cannot be decoded: it has no seed digit."));
    const char16_t first = stored[0].unicode();
    const int seedDigit = first >= u'0' && first <= u'9' ? first - u'0' : 0;

    startKeystream(gen, seedDigit);
    const qsizetype length = stored.size() - 1;
    Digits code(length);
    for (qsizetype j = 0; j < length; ++j)
        code[length - 1 - j] =
            static_cast<uint8_t>((hexValue(stored[j + 1]) + 16 - draw16(gen)) & 0xF);

    // Two digits at a time; a lead byte takes four, the escape eight. An odd last digit is dropped.
    QString text;
    text.reserve(length / 2);
    qsizetype pos = 0;
    while (pos + 2 <= length) {
        const uint32_t v = readBytes(code, pos, 1);
        if (cp932::isLeadByte(static_cast<uint8_t>(v))) {
            if (pos + 4 > length) {
                text.append(QChar(kReplacement));
                break;
            }
            const auto c = cp932::decodeCode(static_cast<uint16_t>(readBytes(code, pos, 2)));
            text.append(QChar(c.value_or(kReplacement)));
            pos += 4;
        } else if (v == kEscape) {
            if (pos + 8 > length) {
                text.append(QChar(kReplacement));
                break;
            }
            appendCodePoint(text, readBytes(code, pos + 2, 3));
            pos += 8;
        } else {
            text.append(QChar(cp932::decodeCode(static_cast<uint16_t>(v)).value_or(kReplacement)));
            pos += 2;
        }
    }
    return text;
}

}  // namespace sirano
