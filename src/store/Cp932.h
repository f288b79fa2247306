// Code page 932 through glibc iconv's "CP932" table (not SHIFT_JIS: that maps 0x5C to the yen
// sign).
//
// The table has one-way mappings: 〜 U+301C, ‖ U+2016, − U+2212 and ¥ U+00A5 encode (to 0x8160,
// 0x8161, 0x817C, 0x5C) but read back as ～ U+FF5E, ∥ U+2225, － U+FF0D and "\". encodeChar() and
// encode() follow iconv; exactCode() and fits() accept only codes that read back unchanged, which
// is what storage needs.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <cstdint>
#include <optional>

namespace sirano::cp932 {

// Bytes of c in CP932: one byte, two bytes (lead byte first), or nothing when CP932 lacks it.
std::optional<QByteArray> encodeChar(char32_t c);
// The code of c (byte value, or lead byte * 256 + trail byte) when that code reads back as c.
std::optional<uint16_t> exactCode(char32_t c);
// The character of a code (as exactCode() gives it); nothing for an unassigned code.
std::optional<char16_t> decodeCode(uint16_t code);
// True for 0x81-0x9F and 0xE0-0xFC.
constexpr bool isLeadByte(uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// The tables themselves, for bulk conversion: encode[c] is iconv's code of the BMP character c,
// decode[code] the character of a code; kNoCode / kNoChar where there is none.
struct Table {
    static constexpr uint16_t kNoCode = 0xFFFF;     // 0xFF is no lead byte, so never a code
    static constexpr char16_t kNoChar = u'\uFFFF';  // a non-character: CP932 never decodes to it
    const uint16_t* encode;
    const char16_t* decode;
    // ASCII is its own code in CP932, backslash and tilde included.
    bool exact(char16_t c) const {
        return c < 0x80 || (encode[c] != kNoCode && decode[encode[c]] == c);
    }
};
const Table& table();
// Table::decode alone, without building the encoding half: all that a load needs.
const char16_t* decodeTable();

// Whole text; nothing when any character is missing from CP932.
std::optional<QByteArray> encode(const QString& text);
// Decodes CP932 bytes; invalid sequences give U+FFFD.
QString decode(QByteArrayView bytes);
// True when text's CP932 bytes read back as text itself.
bool fits(const QString& text);

}  // namespace sirano::cp932
