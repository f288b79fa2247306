// The stored-text codec: a text becomes one seed digit and a scrambled hexadecimal code text.
//
// Code text: the CP932 code of each character in upper-case hexadecimal. Codes 0x10-0x7F are two
// digits, double-byte codes four (lead byte 0x81-0x9F or 0xE0-0xFC). Beyond that:
//   - codes below 0x10 are written with two digits ("0A");
//   - half-width katakana 0xA1-0xDF are two digits, read back as single bytes because only the
//     CP932 lead bytes start a four-digit code;
//   - a character CP932 lacks (é, €, emoji), or whose CP932 code reads back as another character
//     (〜 U+301C, ¥ U+00A5: see Cp932.h), is written "FD" followed by six digits of its Unicode
//     code point ("FD01F600" for U+1F600); 0xFD is never a CP932 lead byte or single byte.
//   - when decoding, a code CP932 does not assign, or a code cut short at the end, gives U+FFFD.
// Every Unicode text therefore reads back exactly; the stored text holds only "0"-"9" and "A"-"F"
// after its leading decimal seed digit.
#pragma once

#include "Generator.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace sirano {

// Draws the seed digit from gen's current sequence, then resets and re-seeds it.
QString encodeText(Generator& gen, const QString& text);
// Throws SiranoError (invalid argument) for an empty stored text. Non-digits read as 0.
QString decodeText(Generator& gen, const QString& stored);

// The same two for the data file, on the stored text's ASCII bytes. encodeTextTo() writes at out,
// which has room for maxEncodedLength(text) bytes, and returns the length written.
qsizetype maxEncodedLength(QStringView text);
qsizetype maxEncodedLength(QLatin1StringView text);
qsizetype encodeTextTo(Generator& gen, QStringView text, char* out);
qsizetype encodeTextTo(Generator& gen, QLatin1StringView text, char* out);
QString decodeTextBytes(Generator& gen, QByteArrayView stored);
// For a stored text of ASCII characters only (nearly every one), the text into out as its bytes,
// in one pass, the generator left as decodeTextBytes() leaves it; false for any other, which
// decodeTextBytes() then decodes.
bool decodeAsciiTextBytes(Generator& gen, QByteArrayView stored, QByteArray& out);
// The same into out, reusing its room: a load decodes 101101 values.
void decodeTextBytes(Generator& gen, QByteArrayView stored, QString& out);

}  // namespace sirano
