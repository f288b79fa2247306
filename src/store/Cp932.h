// Code page 932 through glibc iconv's "CP932" table (not SHIFT_JIS: that maps 0x5C to the yen sign).
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace sirano::cp932 {

// Bytes of c in CP932: one byte, two bytes (lead byte first), or nothing when CP932 lacks it.
std::optional<QByteArray> encodeChar(char32_t c);
// Whole text; nothing when any character is missing from CP932.
std::optional<QByteArray> encode(const QString& text);
// Decodes CP932 bytes; invalid sequences give U+FFFD.
QString decode(const QByteArray& bytes);
// True when every character of text has a CP932 code.
bool fits(const QString& text);

}  // namespace sirano::cp932
